#include <string>
#include <vector>

#include "commands.h"
#include "terminal.h"

int main(int argc, char** argv) {
    flashmere::cli::prepareStandardStreams();
    std::vector<std::string> arguments = flashmere::cli::utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return flashmere::cli::runCommandLine(static_cast<int>(arguments.size()), pointers.data());
}
