// libwebp's picture, freed however an encoding ends: for the WebP writer and
// the gallery's thumbnails (inside images/ only).
#pragma once

#include <webp/encode.h>

struct webp_picture {
    WebPPicture picture;
    webp_picture() { WebPPictureInit(&picture); }
    ~webp_picture() { WebPPictureFree(&picture); }
    webp_picture(const webp_picture&) = delete;
    webp_picture& operator=(const webp_picture&) = delete;
};
