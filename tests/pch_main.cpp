// The program that owns the test programs' precompiled GoogleTest header
// (tests/CMakeLists.txt). It is never run.
int main() { return 0; }
