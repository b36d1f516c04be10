// The path a program started from a file would see as its own module path:
// what the packager's tools hand to the launcher's own code when they judge a
// package as the launcher would. Shared by vorlane-inspect and vorlane-pack.
#pragma once

#include <string>

// The module path for the file named by argument (UTF-16, as the user typed
// it): absolute, "." and ".." resolved by name, links kept as they are. On
// Windows GetFullPathName's answer; on Linux the "Z:\..." form both Linux
// platform layers read back to the same file. False with a reason when no
// such path can be formed.
bool ModulePathOf(const std::u16string& argument, std::u16string* path, std::string* why);
