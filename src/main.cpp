// Program entry: everything is in the start-up sequence.
#include "startup/startup.h"

int main(int argc, char** argv) {
    return kelvantor::kelvantor_main(argc, argv);
}
