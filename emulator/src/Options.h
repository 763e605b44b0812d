#pragma once
// Command-line settings of the emulator.
#include "Recognizer.h"

#include <optional>
#include <string>

struct Options {
    std::string address = "127.0.0.1";
    int port = 8089;
    std::string prefix; // "" or "/v1": what comes before "/speech:recognize"
    std::optional<std::string> apiKey;
    int workers = 2;
    std::optional<std::string> transcript; // fast mode
    ModelPaths models;
    std::string wordList;
    bool help = false;
};

Options defaultOptions();
// Prints one line to stderr and returns false on a bad command line.
bool parseOptions(int argc, char** argv, Options& options);
void printUsage(const char* program);
