// Where Korva finds its data: the single-medium tables, the file that
// registers a folder of multi-dielectric tables, and the cache that tables
// generated on demand go to. A checkout run from its root keeps finding
// everything relative to the working directory; an installed korva finds
// its tables next to its executable.
#pragma once

#include <string>
#include <vector>

// Folders searched for incdata/, in order: the working directory ("."),
// PREFIX/share/korva of an installed korva, the folder that holds the
// executable's bin/ (a build tree), then $KORVA_DATA.
std::vector<std::string> DataFolders();

// The first data folder holding incdata/; "." when none does, so that a
// missing table is reported under the working directory as before.
std::string SingleTableRoot();

// Registration files in the order they are read. The one --gft writes
// (RegistrationTarget) comes first among those that exist.
std::vector<std::string> RegistrationFiles();
// The first registration file that exists, or "" when there is none.
std::string FindRegistration();
// Where --gft writes: bin/.gft_dir under the working directory when it has a
// bin/ folder; else the installation's /etc/korva/gft_dir (PREFIX/etc/korva
// for a prefix other than /usr) when it can be written; else the user's
// $XDG_CONFIG_HOME/korva/gft_dir. PREFIX/share/korva/gft_dir, where earlier
// versions wrote, is still read, last.
std::string RegistrationTarget();

// The folder named by a registration file, without its final '/' or line
// end. Throws InputError when the file cannot be read or is empty.
std::string ReadRegistration(const std::string& file);

// $XDG_CACHE_HOME/korva/tables, or ~/.cache/korva/tables; "" without either
// variable.
std::string CacheFolder();

// True when files can be created in `dir`, or in the nearest existing folder
// above it (where the missing folders would be made).
bool Writable(const std::string& dir);

// Creates `dir` and the missing folders above it; false when that fails.
bool MakeFolders(const std::string& dir);

// Prints the version and the folders the run would use; returns 0.
int ShowVersion();
