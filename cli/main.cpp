#include "commands.h"

int main(int argc, char** argv) {
    return flashmere::cli::runCommandLine(argc, argv);
}
