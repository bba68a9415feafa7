#pragma once

#include <QString>

#include <opencv2/core.hpp>

// Reading image files that anybody may hand to the offline tools. An image file states its
// size in its header, and a decoder allocates what the header says before it reads a pixel: a
// PNG of a few kilobytes can claim 60000x60000 pixels. So the size is read from the header
// first, and a file above MaxPixels, or of a format whose header is not read here, is refused
// before it is decoded.
namespace imageprobe {

// The largest image the tools decode: 50 megapixels, far above every camera of the station
// (1.3 megapixels) and far below what would exhaust the memory of a workstation.
constexpr long long MaxPixels = 50000000;

struct Header
{
    QString format;      // "PNG", "BMP", "JPEG"; empty when the file is none of them
    long long width = 0;
    long long height = 0;
};

// Reads the format and the size from the file's first bytes. False (with why) when the file
// cannot be read or its header is not one of the three formats or is cut short.
bool ReadHeader(const QString& path, Header* header, QString* why);

// The image decoded with cv::imread's flags, or an empty image and why: unreadable, not a
// PNG, BMP or JPEG file, above MaxPixels, or refused by the decoder.
cv::Mat Load(const QString& path, int flags, QString* why);

} // namespace imageprobe
