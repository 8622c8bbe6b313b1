// Program entry: everything is in the start-up sequence.  The process ends
// with _Exit, after the cache is saved and "Exit" logged: libmilter may still
// have connection threads inside the callbacks, and running the destructors
// of the routes, exemptions and settings would pull them out from under them.
#include <cstdio>
#include <cstdlib>

#include "startup/startup.h"

int main(int argc, char** argv) {
    const int status = kelvantor::kelvantor_main(argc, argv);
    std::fflush(nullptr);
    std::_Exit(status);
}
