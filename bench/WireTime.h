#pragma once

#include <string>

#include "HexImage.h"

// Seconds a file's lines and their one-byte replies take on the wire, ten bits a byte.
inline double WireSeconds(const std::string& strFile, int nBaud) {
    CHexImage image;
    image.Load(strFile);
    size_t nBytes = 0;
    for (int i = 0; i < image.GetLineCount(); ++i)
        nBytes += image.LineAt(i).size() + 1;
    return static_cast<double>(nBytes) * 10.0 / nBaud;
}
