// Holds a file open, as another program reading it would, until told to let
// go: hold_open PATH [MILLISECONDS]. Creates PATH.held once the file is open,
// and exits once PATH.release exists, or after MILLISECONDS when given.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        return 2;
    }
    const std::string path = argv[1];
    const int hold_for = argc == 3 ? std::stoi(argv[2]) : 30000;
    std::ifstream held(path, std::ios::binary);
    if (!held) {
        return 1;
    }
    std::ofstream(path + ".held").put('1');
    constexpr int step = 10;
    for (int waited = 0; waited < hold_for && !std::filesystem::exists(path + ".release");
         waited += step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
    }
    return 0;
}
