// The manager's bitmaps, built into the program as a resource, read through
// the DIB routines.
#pragma once
#include <QIcon>
#include <QImage>
#include <QString>

#include "tools/manager/core/dib.h"

namespace qn::manager {

QImage ToQImage(const Image32& image);
// The bitmap `name` ("monitor-up", "frame01"); a null image when it is
// missing or not a DIB the routines take.
QImage LoadBitmap(const QString& name);
// The program's icon (icon 128), drawn.
QIcon ProgramIcon();

}  // namespace qn::manager
