#pragma once

// Where the programs around the library keep their configuration, by the XDG base-directory
// rules: the user's files under $XDG_CONFIG_HOME (~/.config when that is unset, or not the
// absolute path the rules require), the machine's under /etc/qorx, which its administrator owns.

#include <sys/types.h>

#include <string>

namespace qorx::config {

constexpr const char* kSystemFolder = "/etc/qorx";

// $HOME, or when that is unset or empty the home folder of the user's account: never a folder
// that someone else could have made in the user's stead. "" when neither is known.
std::string HomeFolder();
// The user's configuration folder; "" when there is no home folder either.
std::string UserConfigFolder();
// One of our files in the user's configuration: the path in the environment variable
// `overrideVariable` when that is set and not empty, else <configuration folder>/qorx/<name>;
// "" when there is no configuration folder.
std::string UserFile(const char* overrideVariable, const char* name);
// One of our files in the machine's configuration.
std::string SystemFile(const char* name);

// Makes `folder` and the folders above it that are missing, new ones with `mode`. False (with
// errno) when one cannot be made or a part of the path is not a folder.
bool MakeFolders(const std::string& folder, mode_t mode);

}  // namespace qorx::config
