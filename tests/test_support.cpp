#include "tests/test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

namespace folio::test {

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        auto p = base / ("folio-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::filesystem::path corpusDir() {
    if (const char* env = std::getenv("FOLIO_CORPUS"); env && *env) {
        std::filesystem::path p(env);
        return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
    }
    std::filesystem::path p(FOLIO_CORPUS_DIR);
    return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
}

} // namespace folio::test
