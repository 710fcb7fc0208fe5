// Peer for the removal benchmark: std::filesystem::remove_all on one path.
#include <filesystem>
#include <system_error>

int main(int argc, char **argv) {
    std::error_code error;
    return argc == 2 && std::filesystem::remove_all(argv[1], error) != static_cast<std::uintmax_t>(-1) && !error ? 0 : 1;
}
