#pragma once

#include <QString>

// The launcher's file-mover mode: moves the tree below `source` into `dest`
// (overwriting, except the comma-separated relative paths in `ignore`), or with
// an empty `dest` deletes the tree and `source` itself. Never stops at the first
// failure; returns false if any move, delete or directory removal failed.
bool moveFiles(QString source, QString dest, QString ignore);
