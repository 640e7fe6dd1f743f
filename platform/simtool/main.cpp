// kovesim: creates and inspects simulated device directories.
#include <cstdio>

int main()
{
    std::fprintf(stderr, "usage: kovesim <command> <dir> ...\n");
    return 2;
}
