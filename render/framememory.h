#pragma once

// Keeps the memory a frame needs from going back to the system between frames.
//
// Mesa's software rasteriser allocates the data of each frame (its transformed corners, its bins)
// and frees it when the frame is done, tens of megabytes for a large mesh. glibc hands the top of
// its heap back to the system as soon as that much lies free there, so the next frame faults every
// page in again, and orbiting a mesh of 100,000 triangles spends most of each frame there. Called
// once before the first frame, this keeps up to 64 MiB of freed memory for reuse, and serves blocks
// up to 32 MiB (the most glibc would choose on its own) from the heap.
//
// It sets allocator options of the whole process and cannot be undone; it does nothing where the C
// library is not glibc. Calling it again does nothing more.

namespace jf {

void keepFrameMemory();

} // namespace jf
