// Where the updater keeps packages while they arrive, and what it removes of a run
// that was killed. Packages are downloaded into a folder of our own in the
// installation directory, under names of our own, so a package can never take the
// place of an installed file (a release may hold both "data" and "data.cab"), and
// nothing is made in the installation for a package before it has arrived whole.
#pragma once

#include <string>
#include <vector>

namespace nolt {

extern const char* const kStagingFolder;  // ".nolt-packages"

// appDir + ".nolt-packages" + separator.
std::string StagingDir(const std::string& appDir);

// The file name of a manifest entry's package in the staging folder: the name with
// every byte but letters, digits, '.', '-' and '_' replaced by '_', cut to 100
// bytes, then '-', sixteen hexadecimal digits of the SHA-256 of the name and the
// package's identity, and ".cab".
//   "sub\file.dll", "1a2b3c" -> "sub_file.dll-<16 digits>.cab"
// The identity is what the manifest (and a signature) says of the file the package
// brings: its checksum, and its signed digest and size. A package fetched for one
// identity, and a kept beginning of it, is therefore never taken for a package of
// another: when the release changes, so does the name, and the old beginning goes.
std::string StagedPackageName(const std::string& entryName, const std::string& identity);

// Removes what a killed run of the updater left, and nothing else:
//   - in appDir and in the directory of every listed name that stays inside the
//     installation, the temporary files of StagedFile's naming (an unfinished
//     download or unpacked entry);
//   - in the staging folder, every file but the kept beginnings of downloads that
//     can be continued (PartialDownload), and the folder itself when it is empty.
void SweepLeftovers(const std::string& appDir, const std::vector<std::string>& manifestNames);

// Keeps in the staging folder only the kept beginnings of the packages about to be
// fetched (their staged paths) and removes the folder when it is empty.
void TidyStaging(const std::string& appDir, const std::vector<std::string>& wantedPackages);

}  // namespace nolt
