// Does nothing: the cost of starting and ending a process, for
// scripts/bench-process.sh.
int main() { return 0; }
