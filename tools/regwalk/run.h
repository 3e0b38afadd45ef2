// What regwalk runs, each for options ParseOptions filled; each returns the
// exit status.
#pragma once

#include <string>
#include <vector>

#include "regfile/regexport.h"
#include "tools/regwalk/options.h"
#include "winreg/winreg.h"

namespace tools::regwalk {

int RunWalk(const Options& options);     // walk and print
int RunMatch(const Options& options);    // --match
int RunSplit(const Options& options);    // --split
// --deleted (recover.cpp): searches the hives of the sources (-f, or
// KORMALD_REGISTRY) and prints the recovered keys whose names the pattern
// selects (all without one). 0 when every hive could be searched, 1 when a
// source could not be read or none is a hive.
int RunDeleted(const Options& options);
// The same, what it writes handed to put instead of standard output (the
// Python package's), its messages where tools::Say sends them.
int Deleted(const Options& options, const regfile::ExportFile::Put* put);
// --diff (diff.cpp): the .reg file that turns OLD into NEW within the
// pattern, or a summary. 0 when they are the same, 4 when they differ, 3
// when part of either could not be read, 1 for an error.
int RunDiff(const Options& options);
// The same, what it writes handed to put instead of standard output (the
// Python package's diff): the status is the same, and the messages go
// where tools::Say sends them.
int Diff(const Options& options, const regfile::ExportFile::Put* put);
// --list-images (list_images.cpp): what the image or VM names holds. 0
// when it was listed, 1 when it cannot be read.
int RunListImages(const Options& options);
// --controllers (controllers.cpp): each instance under the class key
// kormald lists in options' mode, with the row kormald prints for it or
// why it has none. 0, 3 when part of the registry could not be read, 1
// when it cannot be opened.
int RunControllers(const Options& options);

}  // namespace tools::regwalk
