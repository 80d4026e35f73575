#pragma once

#include <algorithm>
#include <string>
#include <vector>

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

// The value below which a share dP of the samples lies (0 for none).
inline double Percentile(std::vector<double> a, double dP) {
    if (a.empty()) return 0;
    std::sort(a.begin(), a.end());
    return a[static_cast<size_t>(dP * static_cast<double>(a.size() - 1))];
}
