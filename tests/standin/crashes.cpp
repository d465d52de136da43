// Durability and crashes: what of the machine survives when the process under
// test dies, and the new process that starts on it. WriteFile and
// FlushFileBuffers (handles.cpp) and MoveFileExW (files.cpp) keep a file's
// live and durable contents and the pending moves as told below; a crash
// brings the machine back to what is durable.
//
// - Durability is modelled at its worst. A file has live contents (what reads
//   see) and durable contents (what survives a crash). AddFile's contents are
//   durable; WriteFile changes only the live ones; FlushFileBuffers on a handle
//   makes its file's live contents durable; CloseHandle flushes nothing.
//   Creating a file or folder, truncating a file on open and deleting a file
//   are durable at once, so a file created and never flushed is empty after a
//   crash. MoveFileExW with MOVEFILE_WRITE_THROUGH is durable at once; without
//   it the move is pending until a FlushFileBuffers on any handle of the same
//   volume (NTFS commits its log with a flush), and a crash undoes pending
//   moves newest first: the item goes back to its old name (and a file it
//   replaced comes back), unless something else now stands there or the item
//   has since left its new name.
// - A crash (CrashAfterCall) kills the process under test right after one
//   call: its handles and their share locks go, files fall back to their
//   durable contents, pending moves are undone, and every later call fails
//   with ERROR_INVALID_HANDLE without touching the machine or the record, so
//   the code under test runs to its end harmlessly. Restart then starts a new
//   process on the disk as the crash left it.
#include "standin/standin.h"

#include "standin/machine.h"

#include <cstddef>

namespace van_tide::standin {
namespace {

// Puts a pending move back, unless the item has left the name the move gave
// it (deleted, replaced, moved on for good) or its old name has been taken.
void Undo(const PendingMove& move) {
  if (FindChild(*move.to, move.toName) != move.node) return;
  const NodePtr atOldName = FindChild(*move.from, move.fromName);
  if (atOldName != nullptr && atOldName != move.node) return;  // a change of case finds the item itself
  Detach(*move.to, *move.node);
  move.node->name = move.fromName;
  Insert(*move.from, move.node);
  if (move.replaced != nullptr && FindChild(*move.to, move.replaced->name) == nullptr) {
    Insert(*move.to, move.replaced);
  }
}

void FallBackToDurable(Node& folder) {
  for (const auto& [key, child] : folder.children) {
    if (child->kind == Kind::File) child->bytes = child->durable;
    if (child->kind == Kind::Folder) FallBackToDurable(*child);
  }
}

}  // namespace

// The process dies and the machine comes back with what reached the disk.
void Crash() {
  State& s = S();
  s.crashPending = false;
  s.crashed = true;
  s.files.clear();
  s.finds.clear();
  s.held.clear();
  // The dead process's handles are closed, so what it marked for deletion
  // goes, as its name went before the crash.
  SettleDeletions();
  for (auto move = s.pendingMoves.rbegin(); move != s.pendingMoves.rend(); ++move) Undo(*move);
  s.pendingMoves.clear();
  for (const auto& [key, root] : s.roots) FallBackToDurable(*root);
}

// After a crash every call fails as one on a handle that no longer exists.
bool Dead() { return S().crashed; }

void CrashAfterCall(std::size_t index) { S().crashAt = index; }

bool Crashed() { return S().crashed; }

void Restart() {
  S().NewProcess();
  SettleDeletions();
}

}  // namespace van_tide::standin
