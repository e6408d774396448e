// JPEG XL files made with libjxl's own encoder, for the tests and the seed generator alike.
// Header-only, like picture_writers.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <jxl/encode.h>

namespace folio::test {

// What jxlFile encodes: frames of w x h pixels, `channels` interleaved bytes each (1 gray,
// 2 gray + alpha, 3 RGB, 4 RGBA); more than one frame makes an animation.
struct JxlPicture {
    std::uint32_t w = 0, h = 0;
    std::uint32_t channels = 3;
    std::vector<std::vector<std::uint8_t>> frames;
    bool lossless = true;
    float distance = 1.0f; // lossy quality: 0 is visually lossless, 1 the encoder's default
    std::uint32_t orientation = 1;
    bool container = false; // the box format rather than a bare code stream
    int effort = 3;         // 1 fastest to 9; libjxl's own default is 7
};

namespace detail {
struct JxlEncoderFree {
    void operator()(JxlEncoder* e) const { JxlEncoderDestroy(e); }
};

// Everything the encoder has to give; empty on failure.
inline std::vector<std::uint8_t> jxlOutput(JxlEncoder* enc) {
    std::vector<std::uint8_t> out(4096);
    std::size_t used = 0;
    for (;;) {
        std::uint8_t* next = out.data() + used;
        std::size_t avail = out.size() - used;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &avail);
        used = static_cast<std::size_t>(next - out.data());
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) return {};
        out.resize(out.size() * 2);
    }
    out.resize(used);
    return out;
}
} // namespace detail

inline std::vector<std::uint8_t> jxlFile(const JxlPicture& p) {
    const std::unique_ptr<JxlEncoder, detail::JxlEncoderFree> enc(JxlEncoderCreate(nullptr));
    if (!enc || p.frames.empty() || p.channels < 1 || p.channels > 4) return {};
    const bool gray = p.channels < 3, alpha = p.channels % 2 == 0;
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = p.w, info.ysize = p.h;
    info.bits_per_sample = 8;
    info.num_color_channels = gray ? 1 : 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? 8 : 0;
    info.uses_original_profile = p.lossless ? JXL_TRUE : JXL_FALSE;
    info.orientation = static_cast<JxlOrientation>(p.orientation);
    if (p.frames.size() > 1) {
        info.have_animation = JXL_TRUE;
        info.animation.tps_numerator = 10, info.animation.tps_denominator = 1;
    }
    JxlColorEncoding colour;
    JxlColorEncodingSetToSRGB(&colour, gray ? JXL_TRUE : JXL_FALSE);
    if (JxlEncoderUseContainer(enc.get(), p.container ? JXL_TRUE : JXL_FALSE) != JXL_ENC_SUCCESS ||
        JxlEncoderSetBasicInfo(enc.get(), &info) != JXL_ENC_SUCCESS ||
        JxlEncoderSetColorEncoding(enc.get(), &colour) != JXL_ENC_SUCCESS)
        return {};
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    if (!settings ||
        JxlEncoderSetFrameLossless(settings, p.lossless ? JXL_TRUE : JXL_FALSE) !=
            JXL_ENC_SUCCESS ||
        (!p.lossless && JxlEncoderSetFrameDistance(settings, p.distance) != JXL_ENC_SUCCESS) ||
        JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, p.effort) !=
            JXL_ENC_SUCCESS)
        return {};
    const JxlPixelFormat format{p.channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (const auto& frame : p.frames) {
        if (info.have_animation) {
            JxlFrameHeader header;
            JxlEncoderInitFrameHeader(&header);
            header.duration = 1;
            if (JxlEncoderSetFrameHeader(settings, &header) != JXL_ENC_SUCCESS) return {};
        }
        if (frame.size() != std::size_t{p.w} * p.h * p.channels ||
            JxlEncoderAddImageFrame(settings, &format, frame.data(), frame.size()) !=
                JXL_ENC_SUCCESS)
            return {};
    }
    JxlEncoderCloseInput(enc.get());
    return detail::jxlOutput(enc.get());
}

// A JPEG file recompressed losslessly (its coefficients kept, so it can be rebuilt exactly).
inline std::vector<std::uint8_t> jxlFromJpeg(const std::vector<std::uint8_t>& jpeg) {
    const std::unique_ptr<JxlEncoder, detail::JxlEncoderFree> enc(JxlEncoderCreate(nullptr));
    if (!enc || JxlEncoderStoreJPEGMetadata(enc.get(), JXL_TRUE) != JXL_ENC_SUCCESS) return {};
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    if (!settings || JxlEncoderAddJPEGFrame(settings, jpeg.data(), jpeg.size()) != JXL_ENC_SUCCESS)
        return {};
    JxlEncoderCloseInput(enc.get());
    return detail::jxlOutput(enc.get());
}

} // namespace folio::test
