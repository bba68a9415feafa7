#pragma once

#include <opencv2/core.hpp>

#include <vector>

// PNG encoding of 8-bit grey or BGR images on several threads: the rows are cut into bands,
// each band filtered (Sub, as the library's fast setting does) and deflated on a thread of its
// own (Huffman coding only, huffmandeflate.h), and the bands' streams joined into one zlib stream
// (each band but the last ends on a flush boundary; the checksum is combined), written as one
// standard PNG that any decoder reads. The panorama of a scan is about 12000 x 1000 pixels:
// on one thread its encoding is the longest part of a scan's end.
namespace pngencoder {

// Encodes `image` (CV_8UC1 or CV_8UC3, B G R as OpenCV holds it) into `png`; bands: how many
// threads (1 or more; at most one per 64 rows). False for an empty image or another type.
bool Encode(const cv::Mat& image, std::vector<unsigned char>* png, int bands);

} // namespace pngencoder
