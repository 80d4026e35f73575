#pragma once

#include <QIcon>
#include <QImage>

// The application icon (resource 128): a chip with a lightning bolt, drawn in a 16-colour
// palette without smoothing so that it stays crisp at 32 and 16 pixels.
QImage DrawAppIcon(int nSize);

// Both images, 32 and 16 pixels, drawn once per process.
const QIcon& AppIcon();
