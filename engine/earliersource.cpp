#include "engine/earliersource.h"

#include "engine/extentsscan.h"

namespace jf {

// Here, where ExtentsScan is complete, so that the header needs only its name.
EarlierSource::EarlierSource() = default;
EarlierSource::~EarlierSource() = default;

} // namespace jf
