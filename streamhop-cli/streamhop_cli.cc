#include "cmdline.h"

int main(int argc, char **argv)
{
    proc_args(argc, argv);
    return 0;
}
