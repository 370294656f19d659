// The identity of what an engine detects: its signature set and every
// setting that changes a verdict. A file remembered as clean is clean
// under one such identity only (see zncleancache.h).
//
// The set is known by the files libclamav loads from its directory: every
// entry but subdirectories and the service's own mark, read as cl_load
// reads them (a link is followed), each by name, size and MD5. The
// settings are libclamav's version and functionality level, the database
// options, the scan options and every numeric engine limit after compile.
//
// Reentrant; any thread. Reading a set costs one pass over its files
// (about half a second for a full public database), done once per engine
// load on the loading thread.

#ifndef ZNSETDIGEST_H
#define ZNSETDIGEST_H

#include <QByteArray>

#include <clamav.h>

// The names, devices, inodes, sizes, modification and change times of the
// set's files in `directory`: equal before and after a load means that the
// files were not changed while they were read.
QByteArray znSetFilesStamp(const QByteArray& directory);

// SHA-256 over the set's files in `directory` (sorted names, sizes,
// MD5s). Empty when the directory or a file cannot be read.
QByteArray znSetFilesDigest(const QByteArray& directory);

// SHA-256 over `setDigest` and the detection settings of `engine` (after
// cl_engine_compile), `options` and `dbOptions` (as given to cl_load).
// Empty when `setDigest` is.
QByteArray znDetectionDigest(const QByteArray& setDigest, const cl_engine* engine,
                             const cl_scan_options& options, unsigned dbOptions);

#endif // ZNSETDIGEST_H
