#pragma once

#include <QString>

// The launcher's file-mover mode: moves the tree below `source` into `dest`
// (overwriting, except the comma-separated relative paths in `ignore`), or with
// an empty `dest` deletes the tree and `source` itself. Never stops at the first
// failure; returns false if any move, delete or directory removal failed.
//
// With a `listFile`, only the entries it names (relative to `source`) are moved
// or deleted, and folders that end up empty are removed. Every entry is checked
// before anything is touched. A pair of folders that overlap, and a delete of an
// empty or relative folder, are refused with false before anything is touched.
bool moveFiles(QString source, QString dest, QString ignore, const QString &listFile = {});
