// A temporary folder under /tmp for native tests, removed with everything in
// it at the end (read-only files, links and deep trees included; links are
// removed as links, never followed). Relative names use '/' separators.
#pragma once

#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !root_.empty(); }
    // The folder itself ("/tmp/vorlane-XXXXXX") or a path inside it.
    const std::string& Native() const { return root_; }
    std::string Native(const std::string& relative) const;
    // The same as the simulator reads it: "Z:\tmp\vorlane-XXXXXX[\relative]".
    std::u16string Wide() const;
    std::u16string Wide(const std::string& relative) const;

    // Helpers on paths inside the folder; parents are created as needed.
    bool WriteFile(const std::string& relative, const std::string& content) const;
    bool ReadFile(const std::string& relative, std::string* content) const;
    std::string ReadFile(const std::string& relative) const;  // "" when unreadable
    bool MakeDir(const std::string& relative) const;          // with its parents
    bool MakeSymlink(const std::string& relative, const std::string& target) const;
    bool Exists(const std::string& relative) const;            // never follows a link
    bool SetMode(const std::string& relative, unsigned mode) const;
    bool Rename(const std::string& from, const std::string& to) const;
    // The names in a folder, sorted, without "." and "..".
    std::vector<std::string> Listing(const std::string& relative) const;

private:
    std::string root_;
};

// Removes a tree without following links; true when nothing stayed.
bool RemoveNativeTree(const std::string& path);
// The names in a native folder, sorted, without "." and ".."; none when it cannot be listed.
std::vector<std::string> NamesIn(const std::string& folder);
