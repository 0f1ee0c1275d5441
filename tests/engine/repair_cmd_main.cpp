// A stand-in for mdbrepair's entry while the program's own dispatch does not
// reach the repair command yet: the command line tests run this program or,
// once it repairs, mdbrepair itself.
#include <cstdio>

#include "app/cli/repair_cmd.h"

int main(int argc, char** argv) {
    if (!is_repair_command(argc, argv)) {
        std::fputs(repair_help_text(), stdout);
        return 0;
    }
    return run_repair_command(argc, argv);
}
