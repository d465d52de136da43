<#
Runs vantide-identity.exe against profiles that only a real Windows can lay
out: junctions and symbolic links made by mklink on every folder of the store's
chain and of the legacy chains and on the files, a subst drive, a loopback SMB
share, a stand-alone DFS namespace, and a second process swapping a folder for
a junction while the tool runs. Wine can show none of these as Windows has
them, so the workflow runs this on a hosted Windows runner, as an
administrator (mklink, New-SmbShare and Install-WindowsFeature need one).

  pwsh -File scripts/windows-scenarios.ps1 -Executable PATH -Results DIR
       [-Scratch DIR] [-RaceRuns N]

Every scenario is a row of the table below with the exit status and the one
standard error line each run must end with, and what it must leave in the
files. A row that misses fails the script (exit 1); rows marked record-only
(the DFS namespace) are run and shown, never judged. Results go to the
console, to DIR (scenarios.md, scenarios.json, one log per row) and to the
job's summary when there is one.
#>
[CmdletBinding()]
param(
  [Parameter(Mandatory)] [string] $Executable,
  [Parameter(Mandatory)] [string] $Results,
  # Left without links and 8.3 names above it: the tool refuses a link on any
  # folder of its chains, and would refuse the plain rows for the scratch
  # folder's own sake. The runner's RUNNER_TEMP is such a folder; TEMP is not
  # (it is spelt with the account's short name).
  [string] $Scratch = $env:RUNNER_TEMP,
  [int] $RaceRuns = 100,
  [int] $TimeoutSeconds = 60
)

Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'

$Token = 'van-tide-hud-0123456789abcdef0123456789abcdef'
$LegacyJson = '{"version": 1, "public_key": "' + $Token + '"}'
$Plugin = 'Adobe\UXP\PluginsStorage\PHSP\25\External\com.greywick.van-tide'
$StoreMagic = 'VANTIDE-DPAPI-1' + "`n"
$LinkLine = 'device identity owner rejected migration (HRESULT=0x80070780)'
$AnyReport = '^(device identity owner rejected migration|conflicting legacy device identities) \(HRESULT=0x[0-9a-f]{8}\)\n$'
$ShareName = 'vantide'
$DfsRootName = 'vantide-dfs'
$DfsLinkName = 'profiles'
$Account = "$env:USERDOMAIN\$env:USERNAME"

if (-not $Scratch) { throw 'no scratch folder: give -Scratch (RUNNER_TEMP is not set)' }
$Executable = (Resolve-Path -LiteralPath $Executable).Path
$Scratch = (Resolve-Path -LiteralPath $Scratch).Path
# cmd's mklink and subst take the paths as plain words.
if ($Scratch -match '[\s"&^%|<>()!]') { throw "the scratch folder $Scratch has a character cmd would read" }
$Work = Join-Path $Scratch 'vantide-scenarios'
if (Test-Path -LiteralPath $Work) { throw "$Work is left from an earlier run; remove it first" }
New-Item -ItemType Directory -Force -Path $Results | Out-Null
$Results = (Resolve-Path -LiteralPath $Results).Path

# ---------------------------------------------------------------- the files

function New-Folder([string] $Path) { [void][IO.Directory]::CreateDirectory($Path) }

# Byte for byte: no byte order mark, no line end.
function Write-Text([string] $Path, [string] $Text) {
  New-Folder (Split-Path -Parent $Path)
  [IO.File]::WriteAllBytes($Path, [Text.Encoding]::ASCII.GetBytes($Text))
}

# A profile in $Root: Roaming (APPDATA), Local (LOCALAPPDATA) and a working
# folder, with the legacy file where $Legacy says.
function New-Profile([string] $Root, [string] $Legacy) {
  foreach ($folder in 'Roaming', 'Local', 'cwd') { New-Folder (Join-Path $Root $folder) }
  switch ($Legacy) {
    'roaming' { Write-Text (Join-Path $Root "Roaming\$Plugin\PluginData\license-device.json") $LegacyJson }
    'roaming-beside' { Write-Text (Join-Path $Root "Roaming\$Plugin\license-device.json") $LegacyJson }
    'local' { Write-Text (Join-Path $Root "Local\$Plugin\PluginData\license-device.json") $LegacyJson }
    'none' { }
    default { throw "no legacy place '$Legacy'" }
  }
  @{
    AppData = Join-Path $Root 'Roaming'
    LocalAppData = Join-Path $Root 'Local'
    WorkingFolder = Join-Path $Root 'cwd'
    Store = Join-Path $Root 'Roaming\Vantide\license-device.dat'
    Root = $Root
    Cleanup = $null
  }
}

# Everything below $Root, links named and never entered, files by their hash.
function Get-Snapshot([string] $Root) {
  $lines = Get-ChildItem -LiteralPath $Root -Recurse -Force | Sort-Object FullName | ForEach-Object {
    $relative = $_.FullName.Substring($Root.Length)
    if (($_.Attributes -band [IO.FileAttributes]::ReparsePoint) -ne 0) { "$relative -> $($_.LinkType) $($_.Target)" }
    elseif ($_.PSIsContainer) { "$relative\" }
    else { "$relative $((Get-FileHash -LiteralPath $_.FullName -Algorithm SHA256).Hash)" }
  }
  $lines -join "`n"
}

function Test-SealedStore([string] $Path) {
  if (-not [IO.File]::Exists($Path)) { return $false }
  $bytes = [IO.File]::ReadAllBytes($Path)
  $bytes.Length -gt $StoreMagic.Length -and
    [Text.Encoding]::ASCII.GetString($bytes, 0, $StoreMagic.Length) -ceq $StoreMagic
}

# ---------------------------------------------------------------- the links

# Kind: junction (mklink /J), dirlink (mklink /D) or filelink (mklink).
function New-Link([string] $Kind, [string] $Link, [string] $Target) {
  $options = @{ junction = @('/J'); dirlink = @('/D'); filelink = @() }[$Kind]
  $said = & cmd.exe /d /c mklink @options $Link $Target 2>&1
  if ($LASTEXITCODE -ne 0) { throw "mklink $options $Link $Target failed: $said" }
  $made = (Get-Item -LiteralPath $Link -Force).LinkType
  $wanted = @{ junction = 'Junction'; dirlink = 'SymbolicLink'; filelink = 'SymbolicLink' }[$Kind]
  if ($made -ne $wanted) { throw "mklink made a '$made' at $Link, not a $wanted" }
}

# Moves the item at $Root\$At to $Root\elsewhere and puts a link to it where
# it was: whatever the tool would find behind the link is what it would have
# found without it.
function Convert-ToLink([string] $Root, [string] $At, [string] $Kind) {
  $path = Join-Path $Root $At
  $target = Join-Path $Root ('elsewhere\' + ($At -replace '\\', '_'))
  New-Folder (Join-Path $Root 'elsewhere')
  if ($Kind -eq 'filelink') {
    [IO.File]::Move($path, $target)
  } else {
    New-Folder $path
    [IO.Directory]::Move($path, $target)
  }
  New-Link $Kind $path $target
}

# Removes $Path: a link as a link, never what it leads to.
function Remove-Entry([string] $Path) {
  $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
  if (-not $item) { return }
  if (($item.Attributes -band [IO.FileAttributes]::ReparsePoint) -ne 0) {
    if ($item.PSIsContainer) { [IO.Directory]::Delete($Path, $false) } else { [IO.File]::Delete($Path) }
  } elseif ($item.PSIsContainer) {
    Remove-Item -LiteralPath $Path -Recurse -Force
  } else {
    [IO.File]::Delete($Path)
  }
}

# ---------------------------------------------------------------- the tool

# Runs the tool as a user's shell would, with the profile's APPDATA and
# LOCALAPPDATA and nothing else changed.
function Invoke-Tool([hashtable] $Setup) {
  $start = [Diagnostics.ProcessStartInfo]::new($Executable)
  $start.UseShellExecute = $false
  $start.RedirectStandardOutput = $true
  $start.RedirectStandardError = $true
  $start.WorkingDirectory = $Setup.WorkingFolder
  $start.Environment['APPDATA'] = $Setup.AppData
  $start.Environment['LOCALAPPDATA'] = $Setup.LocalAppData
  $process = [Diagnostics.Process]::Start($start)
  $output = $process.StandardOutput.ReadToEndAsync()
  $errors = $process.StandardError.ReadToEndAsync()
  $finished = $process.WaitForExit($TimeoutSeconds * 1000)
  if (-not $finished) { $process.Kill() }
  $process.WaitForExit()
  [pscustomobject]@{
    Finished = $finished
    Exit = $process.ExitCode
    Output = $output.Result
    Error = $errors.Result
  }
}

function Show-Text([string] $Text) { $Text.Replace("`r", '\r').Replace("`n", '\n') }

function Get-Outcome($Run) {
  $text = if ($Run.Finished) { "exit $($Run.Exit)" } else { "killed after ${TimeoutSeconds}s" }
  if ($Run.Error) { $text += ": $(Show-Text $Run.Error)" }
  if ($Run.Output) { $text += "; standard output: $(Show-Text $Run.Output)" }
  $text
}

# Runs the tool once on a prepared profile and compares the run with $Expect:
# Exit, Line ('' for silence) and Store: 'created' (a sealed store where there
# was none), 'unchanged' (nothing below the row's root changed) or 'record'
# (nothing is expected; the store is reported). Returns the outcome and what
# missed.
function Test-Run([hashtable] $Setup, [hashtable] $Expect) {
  $before = Get-Snapshot $Setup.Root
  $storeBefore = [IO.File]::Exists($Setup.Store)
  $run = Invoke-Tool $Setup
  $outcome = Get-Outcome $run
  $storeAfter = Test-SealedStore $Setup.Store
  if (-not $storeBefore -and $storeAfter) { $outcome += ' (store created)' }
  $missed = @()
  if ($Expect.Store -ne 'record') {
    if (-not $run.Finished) { $missed += 'did not finish' }
    if ($run.Exit -ne $Expect.Exit) { $missed += "exit $($run.Exit), not $($Expect.Exit)" }
    $line = if ($Expect.Line) { "$($Expect.Line)`n" } else { '' }
    if ($run.Error -cne $line) { $missed += "standard error was '$(Show-Text $run.Error)', not '$(Show-Text $line)'" }
    if ($run.Output) { $missed += 'wrote to standard output' }
    switch ($Expect.Store) {
      'created' {
        if ($storeBefore) { $missed += 'a store was there before the run' }
        elseif (-not $storeAfter) { $missed += "no sealed store at $($Setup.Store)" }
      }
      'unchanged' {
        if ((Get-Snapshot $Setup.Root) -cne $before) { $missed += "the files below $($Setup.Root) changed" }
      }
      default { throw "no store expectation '$($Expect.Store)'" }
    }
  }
  [pscustomobject]@{ Outcome = $outcome; Missed = $missed }
}

# A sealed store of this user's, made by the tool itself from a legacy file.
function New-SealedStore([string] $Root) {
  $seed = New-Profile $Root 'roaming'
  $run = Invoke-Tool $seed
  if ($run.Exit -ne 0 -or -not (Test-SealedStore $seed.Store)) {
    throw "the tool made no store to build on: $(Get-Outcome $run)"
  }
  $seed.Store
}

# ---------------------------------------------------------------- the racing attacker

# Swaps $Plain (a real folder) and $Other (a junction) through $Aside, one
# rename at a time, until $Stop exists; after its first round it writes
# $Ready. Windows has no exchange of two names in one step, so there are
# moments with neither name; a rename refused (the name is taken, or a handle
# inside the folder holds it) is skipped and the next one tried.
$SwapProgram = @'
param([string] $Plain, [string] $Other, [string] $Aside, [string] $Stop, [string] $Ready)
$steps = @(@($Plain, $Aside), @($Other, $Plain), @($Aside, $Other))
$moves = 0
$refused = 0
for ($step = 0; -not [IO.File]::Exists($Stop); ++$step) {
  $from, $to = $steps[$step % 3]
  try { [IO.Directory]::Move($from, $to); ++$moves } catch { ++$refused }
  if ($step -eq 2) { [IO.File]::WriteAllText($Ready, '') }
}
"$moves renames, $refused refused"
'@

# The race as its own kind of row: $Race.Swapped (relative to the row's
# folder) is swapped for a junction to 'outside' while the tool runs, once per
# run; nothing may appear in $Race.Watched. Each run must end as the tool may
# end: silent with exit 0, or exit 3 with one report line.
function Invoke-Race([string] $Root, [hashtable] $Race) {
  $shell = (Get-Process -Id $PID).Path
  $program = Join-Path $Root 'swap.ps1'
  Write-Text $program $SwapProgram
  $plain = Join-Path $Root $Race.Swapped
  $other = "$plain-swap"
  $aside = "$plain-aside"
  $outside = Join-Path $Root 'outside'
  $watched = Join-Path $Root $Race.Watched
  $stop = Join-Path $Root 'stop'
  $ready = Join-Path $Root 'ready'
  $tally = [ordered]@{}
  $through = 0
  $missed = @()
  $swapper = ''
  $setup = $null
  for ($run = 1; $run -le $RaceRuns; ++$run) {
    foreach ($path in $plain, $other, $aside, $stop, $ready) { Remove-Entry $path }
    if (Test-Path -LiteralPath $outside) { Remove-Item -LiteralPath $outside -Recurse -Force }
    if ($run -eq 1) {
      $setup = New-Profile (Join-Path $Root 'profile') $Race.Legacy
      $setup.Root = $Root
    }
    Remove-Entry (Join-Path $Root 'profile\Roaming\Vantide')
    New-Folder $outside
    if ($Race.Outside) { Write-Text (Join-Path $outside $Race.Outside) $LegacyJson }
    New-Folder $plain
    New-Link 'junction' $other $outside
    New-Folder $watched

    $attacker = Start-Process -FilePath $shell -PassThru -NoNewWindow `
      -RedirectStandardOutput (Join-Path $Root 'swap.log') -RedirectStandardError (Join-Path $Root 'swap.err') `
      -ArgumentList @('-NoProfile', '-NonInteractive', '-File', $program, $plain, $other, $aside, $stop, $ready)
    $deadline = [DateTime]::UtcNow.AddSeconds(30)
    while (-not [IO.File]::Exists($ready) -and -not $attacker.HasExited -and [DateTime]::UtcNow -lt $deadline) {
      Start-Sleep -Milliseconds 10
    }
    $result = if ([IO.File]::Exists($ready)) { Invoke-Tool $setup } else { $null }
    [IO.File]::WriteAllText($stop, '')
    if (-not $attacker.WaitForExit(10000)) { $attacker.Kill(); $attacker.WaitForExit() }
    $swapper = (Get-Content -Raw -LiteralPath (Join-Path $Root 'swap.log')) -replace '\s+$', ''
    if (-not $result) {
      $missed += "the swapper did not start: $(Get-Content -Raw -LiteralPath (Join-Path $Root 'swap.err'))"
      break
    }

    $status = Get-Outcome $result
    $fits = $result.Finished -and -not $result.Output -and
      (($result.Exit -eq 0 -and -not $result.Error) -or ($result.Exit -eq 3 -and $result.Error -cmatch $AnyReport))
    if (-not $fits) { $missed += "run ${run}: $status" }
    $left = @(Get-ChildItem -LiteralPath $watched -Force -ErrorAction SilentlyContinue)
    if ($left) {
      ++$through
      $missed += "run ${run} went through the link ($status): $($left.Name -join ', ') in $($Race.Watched)"
    }
    if ($tally.Contains($status)) { ++$tally[$status] } else { $tally[$status] = 1 }
  }
  $outcome = "$RaceRuns runs, $through through; " +
    (($tally.GetEnumerator() | ForEach-Object { "$($_.Key) x$($_.Value)" }) -join '; ') +
    "; last swapper: $swapper"
  [pscustomobject]@{ Outcome = $outcome; Missed = $missed }
}

# ---------------------------------------------------------------- shares, subst, DFS

function Get-FreeLetter {
  $taken = [IO.DriveInfo]::GetDrives() | ForEach-Object { $_.Name.Substring(0, 1).ToUpperInvariant() }
  $letter = 'VWXYZTSRQPONMLKJ'.ToCharArray() | Where-Object { "$_" -notin $taken } | Select-Object -First 1
  if (-not $letter) { throw 'no drive letter is free for subst' }
  "$letter"
}

# One loopback share for the SMB rows and, as the DFS link's target, for the
# DFS rows: each row has its own folder in it.
$ShareFolder = Join-Path $Work 'share'
$ShareMade = $false

function Initialize-Share {
  if ($script:ShareMade) { return }
  New-Folder $ShareFolder
  New-SmbShare -Name $ShareName -Path $ShareFolder -FullAccess $Account | Out-Null
  $script:ShareMade = $true
}

# Sets the namespace up once; its answer (empty when it stands) is kept for
# every DFS row.
$DfsReason = $null
$DfsMade = $false

function Initialize-Dfs {
  if ($null -ne $script:DfsReason) { return $script:DfsReason }
  $script:DfsReason = & {
    # PowerShell 7 loads ServerManager through Windows PowerShell.
    try { Import-Module ServerManager -ErrorAction Stop } catch {
      return "Install-WindowsFeature is not there (ServerManager: $($_.Exception.Message))"
    }
    try {
      Initialize-Share
      $installed = Install-WindowsFeature -Name FS-DFS-Namespace -IncludeManagementTools
      if (-not $installed.Success) { return "Install-WindowsFeature FS-DFS-Namespace failed ($($installed.ExitCode))" }
      if ("$($installed.RestartNeeded)" -eq 'Yes') { return 'FS-DFS-Namespace needs a restart' }
      Import-Module DFSN
      Start-Service -Name Dfs
      $rootFolder = Join-Path $Work 'dfs-root'
      New-Folder $rootFolder
      New-SmbShare -Name $DfsRootName -Path $rootFolder -FullAccess $Account | Out-Null
      $script:DfsMade = $true
      $root = "\\$env:COMPUTERNAME\$DfsRootName"
      New-DfsnRoot -Path $root -TargetPath $root -Type Standalone | Out-Null
      New-DfsnFolder -Path "$root\$DfsLinkName" -TargetPath "\\$env:COMPUTERNAME\$ShareName" | Out-Null
      Get-DfsnFolderTarget -Path "$root\$DfsLinkName" | Format-List | Out-String | Write-Host
      ''
    } catch {
      "the namespace could not be set up: $($_.Exception.Message)"
    }
  }
  if ($script:DfsReason) {
    Write-Host "::notice title=DFS namespace::skipped: $($script:DfsReason)"
  }
  $script:DfsReason
}

function Remove-SharesAndNamespace {
  if ($script:DfsMade) {
    try { Remove-DfsnRoot -Path "\\$env:COMPUTERNAME\$DfsRootName" -Force -Confirm:$false } catch { Write-Warning "$_" }
    try { Remove-SmbShare -Name $DfsRootName -Force -Confirm:$false } catch { Write-Warning "$_" }
  }
  if ($script:ShareMade) {
    try { Remove-SmbShare -Name $ShareName -Force -Confirm:$false } catch { Write-Warning "$_" }
  }
}

# A profile in the share's folder $Name, reached by the UNC path $Unc of that
# folder; the files are compared through the local path.
function New-ShareProfile([string] $Name, [string] $Unc, [string] $Legacy) {
  $local = New-Profile (Join-Path $ShareFolder $Name) $Legacy
  $local.AppData = "$Unc\Roaming"
  $local.LocalAppData = "$Unc\Local"
  $local
}

# ---------------------------------------------------------------- the table

$Rows = [Collections.Generic.List[object]]::new()

# Setup is given the row's folder and the row's With, and returns what
# New-Profile returns. (Not a closure: a closure would not see this script's
# functions.)
function Add-Row {
  param(
    [string] $Name,
    [scriptblock] $Setup,
    [hashtable] $With = @{},
    [hashtable[]] $Expect,    # one a run, in order
    [hashtable] $Race,        # instead of Setup and Expect: a race (Invoke-Race)
    [scriptblock] $Guard,     # returns why the row cannot run here, or nothing
    [switch] $RecordOnly
  )
  $Rows.Add([pscustomobject]@{
      Id = 'row{0:d2}' -f ($Rows.Count + 1)
      Name = $Name; Setup = $Setup; With = $With; Expect = $Expect; Race = $Race; Guard = $Guard
      Judged = -not $RecordOnly
    })
}

$Migrates = @{ Exit = 0; Line = ''; Store = 'created' }
$Reads = @{ Exit = 0; Line = ''; Store = 'unchanged' }
$RefusesLink = @{ Exit = 3; Line = $LinkLine; Store = 'unchanged' }
$Record = @{ Store = 'record' }

# A profile in the row's folder\profile with the legacy file at With.Legacy,
# and With.Store: this user's valid store in it; then the item at With.At
# (relative to the row's folder) turned into a link of With.Kind to where it
# went. The row's whole folder is what must stay unchanged.
$LinkedProfile = {
  param($root, $with)
  $setup = New-Profile (Join-Path $root 'profile') $with.Legacy
  if ($with.Store) {
    $store = New-SealedStore (Join-Path $root 'seed')
    New-Folder (Split-Path -Parent $setup.Store)
    [IO.File]::Copy($store, $setup.Store)
  }
  if ($with.At) { Convert-ToLink $root $with.At $with.Kind }
  $setup.Root = $root
  $setup
}

# Plain profiles: what the link rows below differ from.
foreach ($legacy in 'roaming', 'roaming-beside', 'local') {
  Add-Row "plain profile, legacy file ($legacy)" -Setup $LinkedProfile -With @{ Legacy = $legacy } `
    -Expect $Migrates, $Reads
}
Add-Row 'plain profile, valid store' -Setup $LinkedProfile -With @{ Legacy = 'none'; Store = $true } -Expect $Reads
Add-Row 'plain profile, no identity anywhere' -Setup $LinkedProfile -With @{ Legacy = 'none' } -Expect $Reads

# A link at each folder of the store's chain with this user's valid store
# behind it: the store must be refused, not read. And with no store yet: the
# migration must not create it behind the link.
foreach ($kind in 'junction', 'dirlink') {
  foreach ($at in 'profile', 'profile\Roaming', 'profile\Roaming\Vantide') {
    Add-Row "$kind at $at, valid store behind it" -Setup $LinkedProfile `
      -With @{ Legacy = 'none'; Store = $true; At = $at; Kind = $kind } -Expect $RefusesLink
  }
  Add-Row "$kind at profile\Roaming\Vantide, legacy file to migrate" -Setup $LinkedProfile `
    -With @{ Legacy = 'roaming'; At = 'profile\Roaming\Vantide'; Kind = $kind } -Expect $RefusesLink
}
Add-Row 'file link at the store, valid store behind it' -Setup $LinkedProfile `
  -With @{ Legacy = 'none'; Store = $true; At = 'profile\Roaming\Vantide\license-device.dat'; Kind = 'filelink' } `
  -Expect $RefusesLink

# A link at each folder of the legacy chains and at the legacy files, the
# legacy file behind it: nothing may be adopted through it.
$LegacyChain = @()
$path = 'profile\Roaming'
foreach ($member in "$Plugin\PluginData".Split('\')) {
  $path += "\$member"
  $LegacyChain += , @('roaming', $path)
}
$LegacyChain += , @('local', 'profile\Local')
$LegacyChain += , @('local', 'profile\Local\Adobe')
foreach ($kind in 'junction', 'dirlink') {
  foreach ($place in $LegacyChain) {
    Add-Row "$kind at $($place[1]), legacy file behind it" -Setup $LinkedProfile `
      -With @{ Legacy = $place[0]; At = $place[1]; Kind = $kind } -Expect $RefusesLink
  }
}
$LegacyFiles = @(
  @('roaming', "profile\Roaming\$Plugin\PluginData\license-device.json"),
  @('roaming-beside', "profile\Roaming\$Plugin\license-device.json"),
  @('local', "profile\Local\$Plugin\PluginData\license-device.json")
)
foreach ($place in $LegacyFiles) {
  Add-Row "file link at $($place[1])" -Setup $LinkedProfile `
    -With @{ Legacy = $place[0]; At = $place[1]; Kind = 'filelink' } -Expect $RefusesLink
}

# A subst drive is a per-logon name for a folder, not a link on the chain:
# the walk starts at its root, and every final path below agrees with it.
Add-Row 'subst drive as the profile' -Expect $Migrates, $Reads -Setup {
  param($root, $with)
  $setup = New-Profile $root 'roaming'
  $letter = Get-FreeLetter
  $said = & subst.exe "${letter}:" $root 2>&1
  if ($LASTEXITCODE -ne 0) { throw "subst ${letter}: $root failed: $said" }
  $setup.AppData = "${letter}:\Roaming"
  $setup.LocalAppData = "${letter}:\Local"
  $setup.Letter = $letter
  $setup.Cleanup = { param($setup) & subst.exe "$($setup.Letter):" /D | Out-Null }
  $setup
}

# APPDATA on a share, as folder redirection has it.
Add-Row "SMB share \\localhost\$ShareName" -Expect $Migrates, $Reads -Setup {
  param($root, $with)
  Initialize-Share
  New-ShareProfile 'smb' "\\localhost\$ShareName\smb" 'roaming'
}

# A DFS link in front of the same share. What the tool should make of a DFS
# path is still open, so these rows are shown, not judged.
foreach ($server in $env:COMPUTERNAME, 'localhost') {
  Add-Row "DFS namespace \\$server\$DfsRootName\$DfsLinkName" -RecordOnly -Guard { Initialize-Dfs } `
    -With @{ Server = $server; Folder = "dfs-$($server.ToLowerInvariant())" } -Expect $Record, $Record -Setup {
    param($root, $with)
    New-ShareProfile $with.Folder "\\$($with.Server)\$DfsRootName\$DfsLinkName\$($with.Folder)" 'roaming'
  }
}

# Another process swaps a folder for a junction to 'outside' while the tool runs.
Add-Row 'racing junction swap at the store folder' -Race @{
  Swapped = 'profile\Roaming\Vantide'; Legacy = 'roaming'; Outside = $null; Watched = 'outside'
}
Add-Row 'racing junction swap at PluginData, legacy file outside' -Race @{
  Swapped = "profile\Roaming\$Plugin\PluginData"; Legacy = 'none'; Outside = 'license-device.json'
  Watched = 'profile\Roaming\Vantide'
}

# ---------------------------------------------------------------- the run

function Get-Chain([string] $Path) {
  $item = Get-Item -LiteralPath $Path -Force
  while ($item) {
    $item
    $item = $item.Parent
  }
}

Write-Host "tool: $Executable ($((Get-FileHash -LiteralPath $Executable -Algorithm SHA256).Hash))"
Write-Host "Windows: $([Environment]::OSVersion.VersionString); account: $Account"
$linked = @(Get-Chain $Scratch | Where-Object { ($_.Attributes -band [IO.FileAttributes]::ReparsePoint) -ne 0 })
if ($linked) {
  Write-Host "::warning::the scratch folder's chain holds links, which the tool refuses: $($linked.FullName -join ', ')"
}
New-Folder $Work

$Summary = [Collections.Generic.List[object]]::new()
try {
  foreach ($row in $Rows) {
    $root = Join-Path $Work $row.Id
    New-Folder $root
    $status = ''
    $outcomes = @()
    $missed = @()
    try {
      $skip = if ($row.Guard) { & $row.Guard } else { '' }
      if ($skip) {
        $status = 'skipped'
        $outcomes = @($skip)
      } elseif ($row.Race) {
        $race = Invoke-Race $root $row.Race
        $outcomes = @($race.Outcome)
        $missed = @($race.Missed)
      } else {
        $setup = & $row.Setup $root $row.With
        try {
          $number = 0
          foreach ($expect in $row.Expect) {
            ++$number
            $tried = Test-Run $setup $expect
            $outcomes += "run ${number}: $($tried.Outcome)"
            $missed += @($tried.Missed | ForEach-Object { "run ${number}: $_" })
          }
        } finally {
          if ($setup.Cleanup) { & $setup.Cleanup $setup }
        }
      }
    } catch {
      $missed += "could not run: $($_.Exception.Message)"
    }
    if (-not $status) {
      $status = if (-not $row.Judged) { 'recorded' } elseif ($missed) { 'FAILED' } else { 'passed' }
    }
    $expected = if ($row.Race) { 'each run exit 0 silent, or exit 3 with one report line; none through the link' }
      elseif (-not $row.Judged) { 'not judged' }
      else { ($row.Expect | ForEach-Object { "exit $($_.Exit)$(if ($_.Line) { " $($_.Line)" }), store $($_.Store)" }) -join '; then ' }
    $entry = [pscustomobject]@{
      Id = $row.Id; Status = $status; Scenario = $row.Name; Expected = $expected
      Outcome = $outcomes -join ' | '; Missed = $missed
    }
    $Summary.Add($entry)
    $log = @("$($entry.Id) $($entry.Status): $($entry.Scenario)", "expected: $expected") + $outcomes + $missed
    $log | Set-Content -LiteralPath (Join-Path $Results "$($row.Id).log") -Encoding utf8
    $log | ForEach-Object { Write-Host $_ }
    Write-Host ''
  }
} finally {
  Remove-SharesAndNamespace
}

$failed = @($Summary | Where-Object Status -eq 'FAILED')
$Summary | Format-Table -Wrap -Property 'Id', 'Status', 'Scenario', 'Outcome' | Out-String -Width 400 | Write-Host
$counts = $Summary | Group-Object Status | ForEach-Object { "$($_.Count) $($_.Name)" }
Write-Host "scenarios: $($counts -join ', ')"

$table = @('| Row | Status | Scenario | Expected | Outcome |', '|---|---|---|---|---|')
$table += $Summary | ForEach-Object {
  $cells = $_.Id, $_.Status, $_.Scenario, $_.Expected, (@($_.Outcome) + @($_.Missed) -join '<br>')
  '| ' + (($cells | ForEach-Object { "$_".Replace('|', '\|') }) -join ' | ') + ' |'
}
$markdown = @('## Windows scenarios', '', "scenarios: $($counts -join ', ')", '') + $table
$markdown | Set-Content -LiteralPath (Join-Path $Results 'scenarios.md') -Encoding utf8
$Summary | ConvertTo-Json -Depth 4 | Set-Content -LiteralPath (Join-Path $Results 'scenarios.json') -Encoding utf8
if ($env:GITHUB_STEP_SUMMARY) { $markdown | Add-Content -LiteralPath $env:GITHUB_STEP_SUMMARY -Encoding utf8 }

foreach ($entry in $failed) {
  Write-Host "::error title=$($entry.Id) failed::$($entry.Scenario): $($entry.Missed -join '; ')"
}
if ($failed.Count -gt 0) { exit 1 }
exit 0
