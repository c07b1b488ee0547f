#pragma once
// The tray icon's pictures: the white bubble on its indigo badge, which reads on light and dark
// panels alike, with a red dot while recording.

#include <QIcon>
#include <QImage>
#include <QList>

namespace TrayIconArt {

// The badge at the sizes panels ask for most.
[[nodiscard]] QList<QImage> images(bool recording);
[[nodiscard]] QIcon icon(bool recording);

} // namespace TrayIconArt
