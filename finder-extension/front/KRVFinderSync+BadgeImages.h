// The two middle steps of the full-bleed badge, apart so that tests can
// look at them: rendering a source image onto the working canvas, and the
// crop rectangle of the canvas's visible pixels. Used by
// KRVFinderSync+BadgeImages.cpp only; call on the thread that draws.
#pragma once

#include <memory>
#include <optional>

#include "platform/graphics/graphics.h"

// The side of the square working canvas, in points and pixels.
inline constexpr int KRVBadgeCanvasSide = 64;

// A 64 x 64 canvas with the image fitted into it, aspect kept, centred.
std::shared_ptr<graphics::BitmapImageRep> KRVBadgeCanvasWithImage(const graphics::Image& image);

// The box of the canvas's pixels with alpha 17 or more, as a rectangle in
// canvas points (origin bottom left); nothing when no pixel is visible.
std::optional<graphics::Rect> KRVBadgeCropRectOfCanvas(const graphics::BitmapImageRep& canvas);
