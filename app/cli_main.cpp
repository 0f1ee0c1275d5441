// Command-line front end of the repair tool.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::puts("usage: mdbrepair --help");
        return 0;
    }
    std::fputs("mdbrepair: no command yet; see --help\n", stderr);
    return 2;
}
