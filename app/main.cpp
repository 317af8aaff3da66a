#include "ProcessGuard.h"
#include "Startup.h"

int main(int argc, char* argv[])
{
    // Logins keep the password's code for as long as the program runs.
    forbidCoreDumps();
    return Startup::run(argc, argv);
}
