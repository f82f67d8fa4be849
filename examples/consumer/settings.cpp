// Keeps a run counter in an INI file, as settings.c does, through the C++
// layer: reads [app] runs, stores it plus one, adds a greeting the first
// time, then prints every entry of the file.
// Usage: settings_cpp FILE
#include <brantcfg.hpp>

#include <filesystem>
#include <iostream>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: settings_cpp FILE\n";
        return 2;
    }
    const std::filesystem::path file = argv[1];

    // A missing file is the first run; a file that is there but cannot be
    // read must not be taken for one (it would start the count again).
    if (const std::error_code error = brantcfg::read_error(file);
        error && error != std::errc::no_such_file_or_directory) {
        std::cerr << "settings_cpp: cannot read " << file.string() << ": " << error.message() << '\n';
        return 1;
    }
    // The whole value must be a number: "12abc" counts as no count at all.
    const int runs = brantcfg::get(file, "app", "runs", 0) + 1;
    if (auto done = brantcfg::set(file, "app", "runs", runs); !done) {
        std::cerr << "settings_cpp: cannot write " << file.string() << ": " << done.error_code().message() << '\n';
        return 1;
    }
    // std::nullopt: no greeting yet (an empty one would be "").
    if (!brantcfg::get(file, "app", "greeting")) {
        if (auto done = brantcfg::set(file, "app", "greeting", "hello; from C++"); !done) {
            std::cerr << "settings_cpp: cannot write " << file.string() << ": " << done.error_code().message() << '\n';
            return 1;
        }
    }

    std::cout << "run " << runs << " of " << file.string() << '\n';
    const bool read =
        brantcfg::for_each(file, [](std::string_view section, std::string_view key, std::string_view value) {
            std::cout << "  [" << section << "] " << key << " = " << value << '\n';
        });
    return read ? 0 : 1;
}
