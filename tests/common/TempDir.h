#pragma once

#include <string>
#include <string_view>

// A fresh folder of its own under the temporary directory, removed with all it holds when the object goes unless it
// is kept. The program keeps its files in the current folder, so by default the folder is the current directory
// while the object lives. Throws when no folder can be made: a test or fuzzer that went on in some other folder
// could read or replace a real user's files.
class TempDir {
public:
    enum class Current { Enter, Stay };

    // `parent` is where the folder is made; empty means the system's temporary directory.
    explicit TempDir(Current current = Current::Enter, const std::string& parent = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Leaves the folder and what it holds in place when the object goes (the logs of a failed test).
    void keep() { m_keep = true; }

    static std::string read(const std::string& path);
    // Replaces the file at `path` with exactly `bytes`; false when that failed.
    static bool write(const std::string& path, std::string_view bytes);
    static bool exists(const std::string& path);

private:
    std::string m_path;
    std::string m_previous;
    bool m_keep = false;
};
