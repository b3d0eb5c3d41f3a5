// The baseline of the no-op update: a Windows program that does nothing, so that
// its run time is the cost of starting and ending a process under Wine.
int wmain() {
    return 0;
}
