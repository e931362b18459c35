#include "images/ViewerImages.h"

#include "images/BmpImage.h"
#include "images/JpegImage.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

TImageFormat DetectImageFormat(const uint8_t* data, size_t size)
{
    if (size >= 3 && (std::memcmp(data, "GIF", 3) == 0 || std::memcmp(data, "gif", 3) == 0))
        return TImageFormat::ifGIF;
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF)
        return TImageFormat::ifJPEG;
    if (size >= 2 && data[0] == 'B' && data[1] == 'M')
        return TImageFormat::ifBMP;
    return TImageFormat::ifUnknown;
}

std::unique_ptr<TViewerImage> LoadViewerImage(const uint8_t* data, size_t size)
{
    auto image = std::make_unique<TViewerImage>();
    image->Format = DetectImageFormat(data, size);
    switch (image->Format) {
    case TImageFormat::ifGIF:
        image->Gif = LoadGIFImage(data, size, image->IsStill);
        if (!image->Gif)
            return nullptr;
        return image;
    case TImageFormat::ifJPEG:
        if (!DecodeJpegImage(data, size, image->Bitmap))
            return nullptr;
        return image;
    case TImageFormat::ifBMP:
        if (!DecodeBmpImage(data, size, image->Bitmap))
            return nullptr;
        return image;
    case TImageFormat::ifUnknown:
        break;
    }
    return nullptr;
}

std::unique_ptr<TViewerImage> LoadViewerImage(std::istream& stream)
{
    try {
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
        return LoadViewerImage(bytes.data(), bytes.size());
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<TViewerImage> LoadViewerImageFile(const std::string& fileName)
{
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        return nullptr;
    return LoadViewerImage(file);
}
