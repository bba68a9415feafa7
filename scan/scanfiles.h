#pragma once

#include <QString>
#include <QStringList>

// The files one girdle scan leaves in the folder shared with the host: its frames
// (img_00.png, img_01.png, ... exactly as the scan names them), panorama.png and girdle.csv.
// A new scan takes the previous scan's files away before it takes its first frame, so that
// every such file in the folder belongs to the last scan: a host reading the folder after a
// scan that stopped at frame 2 finds img_00 to img_02, not those beside img_03 to img_09 of
// the scan before. Nothing else in the folder is touched (the snapshot, hidden temporary
// files, folders, anyone else's files).
namespace scanfiles {

// True for the names a scan writes: a frame's name as the scan forms it for some index
// (img_7.png and img_007.png are not), the panorama's and the girdle table's.
bool IsScanFileName(const QString& name);

struct Clearing
{
    int removed = 0;          // files taken away
    QStringList failures;     // "path: reason" for each scan file that could not be removed
};

// Removes the scan files (regular files and links; a folder under such a name is not a scan
// file) from folder. A folder that does not exist holds nothing to remove.
Clearing RemovePreviousScan(const QString& folder);

} // namespace scanfiles
