#pragma once

#include <string>

// A fresh folder that is the current directory while the object lives, as the program keeps its files in the
// current directory.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    static std::string read(const std::string& path);
    static void write(const std::string& path, const std::string& bytes);
    static bool exists(const std::string& path);

private:
    std::string m_path;
    std::string m_previous;
};
