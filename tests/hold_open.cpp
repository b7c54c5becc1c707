// Holds a file open, as another program reading it would, until told to let
// go: hold_open PATH. Creates PATH.held once the file is open, and exits once
// PATH.release exists.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const std::string path = argv[1];
    std::ifstream held(path, std::ios::binary);
    if (!held) {
        return 1;
    }
    std::ofstream(path + ".held").put('1');
    for (int waited = 0; waited < 600 && !std::filesystem::exists(path + ".release"); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}
