#pragma once

// Designed geometry is in twips; at 96 dpi 15 twips make one (logical) pixel.
// Plain arithmetic, so that programs without a GUI library can place a control too.

namespace kavo {

inline constexpr int kTwipsPerPixel = 15;

constexpr int twipsToPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}
constexpr int pixelsToTwips(int pixels) {
    return pixels * kTwipsPerPixel;
}

} // namespace kavo
