#pragma once

#include <QIcon>
#include <QPixmap>

namespace jf {

// The About box's picture: a vase turned on a lathe, its vertices roughened as the program roughens
// a mesh. Drawn, not loaded, so it is sharp at every size and pixel ratio.
QPixmap drawLogo(QSize size, qreal devicePixelRatio);

// The window icon: the same mesh on a rounded tile.
QIcon applicationIcon();

} // namespace jf
