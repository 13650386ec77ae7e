#include "startup.h"

int main(int argc, char **argv)
{
    return runLauncher(argc, argv);
}
