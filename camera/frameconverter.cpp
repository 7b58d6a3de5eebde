#include "camera/frameconverter.h"

#include "camera/capturemode.h"
#include "camera/frame.h"

#include <QDebug>

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

namespace {

bool isJpeg(uint32_t format)
{
    return format == PixelFormat::Mjpeg || format == PixelFormat::Jpeg;
}

bool isPlanar420(uint32_t format)
{
    return format == PixelFormat::Yu12 || format == PixelFormat::Yv12;
}

int packedBytesPerLine(uint32_t format, int width)
{
    if (format == PixelFormat::Yuyv || format == PixelFormat::Uyvy)
        return (width + 1) / 2 * 4;
    if (format == PixelFormat::Nv12)
        return (width + 1) / 2 * 2;
    if (isPlanar420(format))
        return width;
    return width * 4;
}

// The centred part of a width x height picture that has the shape of `target`; the sides or
// the top and bottom are cut rather than the picture being stretched.
QRect cropToShape(int width, int height, QSize target)
{
    const int64_t wide = static_cast<int64_t>(width) * target.height();
    const int64_t tall = static_cast<int64_t>(target.width()) * height;
    if (wide > tall) {
        const int w = std::max<int>(1, static_cast<int>(tall / target.height()));
        return QRect((width - w) / 2, 0, w, height);
    }
    const int h = std::max<int>(1, static_cast<int>(wide / target.width()));
    return QRect(0, (height - h) / 2, width, h);
}

// A JPEG begins with SOI and ends with EOI; cameras may pad the end with zero bytes. A frame cut
// short during transfer lacks the EOI, and the decoder would fill the rest with grey.
bool hasJpegBounds(const uint8_t *data, size_t bytes)
{
    while (bytes > 0 && data[bytes - 1] == 0)
        --bytes;
    return bytes >= 4 && data[0] == 0xff && data[1] == 0xd8 && data[bytes - 2] == 0xff
        && data[bytes - 1] == 0xd9;
}

// Beyond 8K a JPEG header is damaged rather than a camera picture; never allocate for it.
constexpr int MaxJpegSide = 7680;

} // namespace

FrameConverter::FrameConverter()
    : m_kernels(&convert::bestKernels())
{ }

FrameConverter::~FrameConverter()
{
    if (m_jpeg)
        tjDestroy(m_jpeg);
}

bool FrameConverter::configure(
    uint32_t pixelFormat, QSize sourceSize, int bytesPerLine, QSize targetSize, Range range)
{
    m_format = 0;
    if (!PixelFormat::isSupported(pixelFormat)) {
        qWarning() << "FrameConverter::configure -> unsupported pixel format"
                   << qPrintable(PixelFormat::name(pixelFormat));
        return false;
    }
    if (sourceSize.isEmpty() || targetSize.isEmpty()) {
        qWarning() << "FrameConverter::configure -> invalid sizes" << sourceSize << targetSize;
        return false;
    }
    if (isJpeg(pixelFormat) && !m_jpeg) {
        m_jpeg = tjInitDecompress();
        if (!m_jpeg) {
            qWarning() << "FrameConverter::configure -> unable to create a JPEG decoder:"
                       << tjGetErrorStr2(nullptr);
            return false;
        }
    }
    m_format = pixelFormat;
    m_range = range;
    m_source = sourceSize;
    m_bytesPerLine
        = bytesPerLine > 0 ? bytesPerLine : packedBytesPerLine(pixelFormat, sourceSize.width());
    m_target = targetSize;
    m_dropped = 0;
    m_failing = false;
    return planStages();
}

bool FrameConverter::planStages()
{
    const QRect crop = cropToShape(m_source.width(), m_source.height(), m_target);
    m_decoded = m_source;
    m_jpegScaleNum = m_jpegScaleDenom = 1;
    if (isJpeg(m_format)) {
        // The decoder scales by 1/2, 1/4 and 1/8 almost for free (its other factors take a
        // slow path); take the smallest that still leaves at least the target size, and let
        // the box and bilinear steps do the rest.
        int count = 0;
        const tjscalingfactor *factors = tjGetScalingFactors(&count);
        for (int i = 0; i < count; ++i) {
            const tjscalingfactor f = factors[i];
            if (f.num != 1 || TJSCALED(crop.width(), f) < m_target.width()
                || TJSCALED(crop.height(), f) < m_target.height())
                continue;
            if (int64_t(f.num) * m_jpegScaleDenom < int64_t(m_jpegScaleNum) * f.denom) {
                m_jpegScaleNum = f.num;
                m_jpegScaleDenom = f.denom;
            }
        }
        const tjscalingfactor chosen { m_jpegScaleNum, m_jpegScaleDenom };
        m_decoded = QSize(TJSCALED(m_source.width(), chosen), TJSCALED(m_source.height(), chosen));
    }
    m_decodeIntoTarget = m_decoded == m_target;
    m_halves.clear();
    m_finalStep = FinalStep::None;
    if (m_decodeIntoTarget)
        return true;

    auto makeBuffer = [](int width, int height) {
        Buffer b;
        b.width = width;
        b.height = height;
        b.stride = Frame::strideFor(width);
        b.bytes.assign(static_cast<size_t>(b.stride) * height, 0);
        return b;
    };
    m_decodeBuffer = makeBuffer(m_decoded.width(), m_decoded.height());
    m_crop = cropToShape(m_decoded.width(), m_decoded.height(), m_target);

    int w = m_crop.width();
    int h = m_crop.height();
    const int tw = m_target.width();
    const int th = m_target.height();
    while (w >= 2 * tw && h >= 2 * th) {
        w /= 2;
        h /= 2;
        if (w == tw && h == th) {
            m_finalStep = FinalStep::Halve;
            return true;
        }
        m_halves.push_back(makeBuffer(w, h));
    }
    if (w == tw && h == th) {
        m_finalStep = FinalStep::Copy;
        return true;
    }
    m_finalStep = FinalStep::Scale;
    m_scale.build(QRectF(0, 0, w, h), w, h, tw, th);
    return true;
}

bool FrameConverter::convert(const uint8_t *data, size_t bytes, Frame &out)
{
    if (m_format == 0 || (isJpeg(m_format) && !m_jpeg))
        return drop("not configured");
    if (out.width() != m_target.width() || out.height() != m_target.height())
        return drop("output frame of another size");
    const Picture target { out.data(), out.stride(), out.width(), out.height() };
    if (isJpeg(m_format)) {
        if (!decodeJpeg(data, bytes, target))
            return false;
    } else {
        const Picture into = m_decodeIntoTarget ? target : m_decodeBuffer.picture();
        if (!decodeRaw(data, bytes, into))
            return false;
        if (!m_decodeIntoTarget)
            resample(target);
    }
    if (m_failing) {
        qDebug() << "FrameConverter::convert -> frames convert again after" << m_dropped
                 << "dropped";
        m_failing = false;
    }
    return true;
}

bool FrameConverter::decodeRaw(const uint8_t *data, size_t bytes, const Picture &into)
{
    const int w = m_source.width();
    const int h = m_source.height();
    const convert::YuvKernels &yuv
        = m_range == Range::Full ? m_kernels->fullRange : m_kernels->limitedRange;
    const size_t lastRow = static_cast<size_t>(m_bytesPerLine) * (h - 1);
    const size_t lumaBytes = static_cast<size_t>(m_bytesPerLine) * h;
    if (m_format == PixelFormat::Nv12) {
        const size_t need = lumaBytes + static_cast<size_t>(m_bytesPerLine) * ((h - 1) / 2)
            + packedBytesPerLine(m_format, w);
        if (bytes < need)
            return drop("short frame");
        yuv.nv12ToBgra(
            data, m_bytesPerLine, data + lumaBytes, m_bytesPerLine, into.data, into.stride, w, h);
        return true;
    }
    if (isPlanar420(m_format)) {
        // Two chroma planes of half the luma stride, U first in YU12 and V first in YV12.
        const int uvStride = (m_bytesPerLine + 1) / 2;
        const size_t planeBytes = static_cast<size_t>(uvStride) * ((h + 1) / 2);
        if (bytes < lumaBytes + 2 * planeBytes)
            return drop("short frame");
        const uint8_t *first = data + lumaBytes;
        const uint8_t *second = first + planeBytes;
        const bool uFirst = m_format == PixelFormat::Yu12;
        yuv.i420ToBgra(data, m_bytesPerLine, uFirst ? first : second, uFirst ? second : first,
            uvStride, into.data, into.stride, w, h);
        return true;
    }
    if (bytes < lastRow + packedBytesPerLine(m_format, w))
        return drop("short frame");
    if (m_format == PixelFormat::Yuyv)
        yuv.yuyvToBgra(data, m_bytesPerLine, into.data, into.stride, w, h);
    else if (m_format == PixelFormat::Uyvy)
        yuv.uyvyToBgra(data, m_bytesPerLine, into.data, into.stride, w, h);
    else
        m_kernels->bgrxToBgra(data, m_bytesPerLine, into.data, into.stride, w, h);
    return true;
}

bool FrameConverter::decodeJpeg(const uint8_t *data, size_t bytes, const Picture &target)
{
    if (!hasJpegBounds(data, bytes))
        return drop("truncated JPEG");
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(m_jpeg, data, static_cast<unsigned long>(bytes), &width, &height,
            &subsampling, &colorspace)
        != 0)
        return dropJpeg();
    if (width > MaxJpegSide || height > MaxJpegSide)
        return drop("implausible JPEG size");
    if (width != m_source.width() || height != m_source.height()) {
        // Some cameras send pictures of another size than the mode they stream; follow them.
        qDebug() << "FrameConverter::convert -> input image dimensions have changed:" << width
                 << height;
        m_source = QSize(width, height);
        planStages();
    }
    const Picture into = m_decodeIntoTarget ? target : m_decodeBuffer.picture();
    if (tjDecompress2(m_jpeg, data, static_cast<unsigned long>(bytes), into.data, into.width,
            into.stride, into.height, TJPF_BGRA, 0)
        != 0) {
        // Extraneous bytes between markers are common in webcam streams and leave the
        // picture whole; every other warning means damaged data.
        if (tjGetErrorCode(m_jpeg) != TJERR_WARNING
            || !std::strstr(tjGetErrorStr2(m_jpeg), "extraneous bytes"))
            return dropJpeg();
    }
    if (!m_decodeIntoTarget)
        resample(target);
    return true;
}

void FrameConverter::resample(const Picture &out)
{
    Picture from = m_decodeBuffer.picture();
    from.data += static_cast<std::ptrdiff_t>(m_crop.y()) * from.stride + m_crop.x() * 4;
    from.width = m_crop.width();
    from.height = m_crop.height();
    for (Buffer &half : m_halves) {
        m_kernels->halveBgra(
            from.data, from.stride, half.bytes.data(), half.stride, half.width, half.height);
        from = half.picture();
    }
    switch (m_finalStep) {
    case FinalStep::None:
        break;
    case FinalStep::Halve:
        m_kernels->halveBgra(from.data, from.stride, out.data, out.stride, out.width, out.height);
        break;
    case FinalStep::Copy:
        m_kernels->bgrxToBgra(from.data, from.stride, out.data, out.stride, out.width, out.height);
        break;
    case FinalStep::Scale:
        m_kernels->scaleBgra(
            from.data, from.stride, out.data, out.stride, out.width, out.height, m_scale.tables());
        break;
    }
}

// libjpeg-turbo leaves a decoder that failed half-way in a state where it refuses the next
// picture, so a failed one is replaced.
bool FrameConverter::dropJpeg()
{
    const bool dropped = drop(tjGetErrorStr2(m_jpeg));
    tjDestroy(m_jpeg);
    m_jpeg = tjInitDecompress();
    return dropped;
}

bool FrameConverter::drop(const char *reason)
{
    ++m_dropped;
    if (!m_failing) {
        qWarning() << "FrameConverter::convert -> dropping"
                   << qPrintable(PixelFormat::name(m_format)) << "frame:" << reason;
        m_failing = true;
    }
    return false;
}
