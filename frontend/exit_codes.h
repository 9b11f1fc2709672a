// The exit status of a run: the OR of the codes of its inputs, or one command-line code.
// Scripts act on these values, so they never change.
#pragma once

namespace busfold {

// Per input, ORed into the status.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitMissingInput = 1;  // an input file or folder does not exist
inline constexpr int kConvertOk = kExitSuccess;
inline constexpr int kConvertPasswordFailed = 2;    // no password, or decryption failed
inline constexpr int kConvertDecompressFailed = 4;  // a compressed file did not decompress
inline constexpr int kConvertFailed = 8;            // any other failure of a file
inline constexpr int kExitNotExamined = 129;        // an input could not be examined

// Command-line errors: the run ends before any file is touched.
inline constexpr int kExitMissingValue = 130;
inline constexpr int kExitBadNumber = 131;  // a bad number or verbosity
inline constexpr int kExitNoCommonRoot = 132;
inline constexpr int kExitCommandLine = 134;  // every other command-line error

}  // namespace busfold
