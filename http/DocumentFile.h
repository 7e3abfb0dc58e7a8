// Where the documents of the HTTP server lie on this system. Document and DocDir keep their
// Windows form (a drive letter, backslashes); only this file layer maps them to local names:
// a backslash is a "/", and a leading drive letter X: stands for the per-user folder
// $XDG_DATA_HOME/Malvory/RIDuziva/x (~/.local/share/... without XDG_DATA_HOME), so the default
// "c:\wwwroot" is ~/.local/share/Malvory/RIDuziva/c/wwwroot and no other file of the user's.
#pragma once

#include <string>

#include "http/HttpFormat.h"

namespace ordwin {

// The program's folder for its own files: $XDG_DATA_HOME/Malvory/RIDuziva, or
// ~/.local/share/Malvory/RIDuziva without XDG_DATA_HOME; empty when neither that nor HOME is set
// (or absolute). The drive folders lie in it.
std::string ProgramDataFolder();

// The local name of a file name in Windows form; empty when a drive letter has no folder here
// (neither XDG_DATA_HOME nor HOME is set).
std::string LocalFileName(const std::string& windowsName);

// The local file that document names inside docDir, fully resolved; empty unless it is a
// regular file that lies inside docDir once ".." segments and symbolic links are followed.
// The document must begin with docDir (in Windows form) as the connection builds it.
std::string ResolveDocument(const std::string& docDir, const std::string& document);

// The last-write time (UTC) of a local file, or 0 when there is no such file.
TDateTime FileLastWriteTime(const std::string& localName);

}  // namespace ordwin
