#include "tests/support/temp_folder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/named_lock.h"

namespace velk::test {

TempFolder::TempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "velk-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TempDataRoot::TempDataRoot()
{
    if (const char* old = std::getenv("VELK_DATA_ROOT")) {
        previous_ = old;
        hadprevious_ = true;
    }
    ::setenv("VELK_DATA_ROOT", folder_.path().c_str(), 1);
    setlockfolder("");
}

TempDataRoot::~TempDataRoot()
{
    if (hadprevious_)
        ::setenv("VELK_DATA_ROOT", previous_.c_str(), 1);
    else
        ::unsetenv("VELK_DATA_ROOT");
    setlockfolder("");
}

std::string TempDataRoot::common() const
{
    return folder_.path() + "/Quorlith/VELK/4.0/";
}

void writetextfile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readtextfile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> filesbelow(const std::string& folder, const std::string& extension)
{
    namespace fs = std::filesystem;
    std::vector<std::string> out;
    std::error_code ec;
    if (!fs::exists(folder, ec))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec))
        if (e.is_regular_file() && (extension.empty() || e.path().extension() == extension))
            out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace velk::test
