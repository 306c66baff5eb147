#include "core/h264_codec.h"

#include <wels/codec_api.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "core/picture.h"

namespace kiv::video {

namespace {

// NAL unit types of the access unit (Annex B): whether it carries an IDR slice.
bool HasIdrSlice(const std::uint8_t* data, std::uint32_t length) {
  for (std::uint32_t i = 0; i + 3 < length; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if ((data[i + 3] & 0x1f) == 5) return true;
      i += 2;
    }
  }
  return false;
}

// Bottom-up BGR24 → I420 and back, through swscale with a negative stride for the row order.
struct TPictureScaler {
  SwsContext* context = nullptr;
  ~TPictureScaler() { sws_freeContext(context); }
  bool Init(int width, int height, AVPixelFormat from, AVPixelFormat to) {
    context = sws_getContext(width, height, from, width, height, to, SWS_BILINEAR, nullptr, nullptr, nullptr);
    return context != nullptr;
  }
};

}  // namespace

struct TH264Encoder {
  ISVCEncoder* encoder = nullptr;
  int width = 0;
  int height = 0;
  int key_interval = 0;
  double frame_rate = 0;
  std::uint64_t frame_index = 0;
  int frames_since_key = 0;
  bool key_due = true;
  TPictureScaler to_yuv;
  std::vector<std::uint8_t> yuv;

  ~TH264Encoder() {
    if (encoder) {
      encoder->Uninitialize();
      WelsDestroySVCEncoder(encoder);
    }
  }
};

struct TH264Decoder {
  ISVCDecoder* decoder = nullptr;
  int width = 0;
  int height = 0;
  bool key_seen = false;
  TPictureScaler to_bgr;

  ~TH264Decoder() {
    if (decoder) {
      decoder->Uninitialize();
      WelsDestroyDecoder(decoder);
    }
  }
};

TH264Encoder* CreateH264Encoder(int usage, double frame_rate, int width, int height, int key_interval,
                                int quality) {
  if (!IsValidVideoSize(width, height) || !(frame_rate > 0 && frame_rate <= 120) || key_interval < 1 ||
      key_interval > 1000 || quality < 1 || quality > 16 ||
      (usage != kUsageCamera && usage != kUsageScreen)) {
    return nullptr;
  }
  auto state = std::make_unique<TH264Encoder>();
  state->width = width;
  state->height = height;
  state->key_interval = key_interval;
  state->frame_rate = frame_rate;
  if (WelsCreateSVCEncoder(&state->encoder) != 0 || !state->encoder) return nullptr;

  int trace_level = WELS_LOG_ERROR;
  state->encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &trace_level);
  const int bit_rate = static_cast<int>(std::lround(width * height * quality / 8.0 * frame_rate));
  SEncParamExt param;
  state->encoder->GetDefaultParams(&param);
  param.iUsageType = usage == kUsageScreen ? SCREEN_CONTENT_REAL_TIME : CAMERA_VIDEO_REAL_TIME;
  param.iPicWidth = width;
  param.iPicHeight = height;
  param.fMaxFrameRate = static_cast<float>(frame_rate);
  param.iRCMode = RC_BITRATE_MODE;
  param.iTargetBitrate = bit_rate;
  param.iMaxBitrate = 2 * bit_rate;
  // A frame over the limit is dropped by the caller anyway; skipping inside the encoder would only
  // leave a gap the receiver cannot see.
  param.bEnableFrameSkip = false;
  param.uiIntraPeriod = 0;  // key frames are placed by EncodeH264Data
  // No extra key frames on scene changes: receivers can count on the interval, and the bit budget
  // stays even.
  param.bEnableSceneChangeDetect = false;
  param.eSpsPpsIdStrategy = CONSTANT_ID;
  param.iSpatialLayerNum = 1;
  param.iTemporalLayerNum = 1;
  param.iMultipleThreadIdc = 1;
  param.iEntropyCodingModeFlag = 0;
  param.iComplexityMode = LOW_COMPLEXITY;
  param.bEnableLongTermReference = false;
  SSpatialLayerConfig& layer = param.sSpatialLayers[0];
  layer.iVideoWidth = width;
  layer.iVideoHeight = height;
  layer.fFrameRate = static_cast<float>(frame_rate);
  layer.iSpatialBitrate = bit_rate;
  layer.iMaxSpatialBitrate = 2 * bit_rate;
  layer.uiProfileIdc = PRO_BASELINE;
  layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
  if (state->encoder->InitializeExt(&param) != cmResultSuccess) return nullptr;
  int format = videoFormatI420;
  state->encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &format);

  if (!state->to_yuv.Init(width, height, AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P)) return nullptr;
  state->yuv.resize(static_cast<std::size_t>(width) * height * 3 / 2);
  return state.release();
}

int EncodeH264Data(TH264Encoder* encoder, const std::uint8_t* input, std::uint32_t input_size,
                   std::uint8_t* output, std::uint32_t* output_size, int* frame_type) {
  if (!encoder || !input || !output || !output_size || !frame_type) return -1;
  const int w = encoder->width;
  const int h = encoder->height;
  if (input_size < BitmapBytes(w, h)) return -1;

  std::uint8_t* planes[3] = {encoder->yuv.data(), encoder->yuv.data() + w * h,
                             encoder->yuv.data() + w * h + (w / 2) * (h / 2)};
  int plane_strides[3] = {w, w / 2, w / 2};
  const std::uint8_t* source[1] = {input + static_cast<std::size_t>(h - 1) * w * 3};
  const int source_stride[1] = {-w * 3};
  sws_scale(encoder->to_yuv.context, source, source_stride, 0, h, planes, plane_strides);

  SSourcePicture picture;
  std::memset(&picture, 0, sizeof(picture));
  picture.iPicWidth = w;
  picture.iPicHeight = h;
  picture.iColorFormat = videoFormatI420;
  for (int i = 0; i < 3; ++i) {
    picture.pData[i] = planes[i];
    picture.iStride[i] = plane_strides[i];
  }
  picture.uiTimeStamp =
      static_cast<long long>(std::llround(encoder->frame_index * 1000.0 / encoder->frame_rate));
  ++encoder->frame_index;

  const bool key = encoder->key_due || encoder->frames_since_key >= encoder->key_interval;
  if (key) encoder->encoder->ForceIntraFrame(true);

  SFrameBSInfo info;
  std::memset(&info, 0, sizeof(info));
  if (encoder->encoder->EncodeFrame(&picture, &info) != cmResultSuccess ||
      info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) {
    encoder->key_due = true;
    return -2;
  }
  std::uint64_t total = 0;
  for (int i = 0; i < info.iLayerNum; ++i) {
    const SLayerBSInfo& layer = info.sLayerInfo[i];
    for (int n = 0; n < layer.iNalCount; ++n) total += static_cast<std::uint64_t>(layer.pNalLengthInByte[n]);
  }
  if (total == 0 || total > kMaxCompressedFrameBytes || total > *output_size) {
    encoder->key_due = true;
    return -3;
  }
  std::uint8_t* out = output;
  for (int i = 0; i < info.iLayerNum; ++i) {
    const SLayerBSInfo& layer = info.sLayerInfo[i];
    std::size_t bytes = 0;
    for (int n = 0; n < layer.iNalCount; ++n) bytes += static_cast<std::size_t>(layer.pNalLengthInByte[n]);
    std::memcpy(out, layer.pBsBuf, bytes);
    out += bytes;
  }
  *output_size = static_cast<std::uint32_t>(total);
  const bool is_key = info.eFrameType == videoFrameTypeIDR;
  *frame_type = is_key ? kFrameTypeKey : kFrameTypeDelta;
  if (is_key) {
    encoder->key_due = false;
    encoder->frames_since_key = 1;
  } else {
    ++encoder->frames_since_key;
  }
  return 0;
}

void ForceH264KeyFrame(TH264Encoder* encoder) {
  if (encoder) encoder->key_due = true;
}

void DeleteH264Encoder(TH264Encoder* encoder) { delete encoder; }

TH264Decoder* CreateH264Decoder(int width, int height) {
  if (!IsValidVideoSize(width, height)) return nullptr;
  auto state = std::make_unique<TH264Decoder>();
  state->width = width;
  state->height = height;
  if (WelsCreateDecoder(&state->decoder) != 0 || !state->decoder) return nullptr;
  // Damaged frames from the network are expected; they are dropped without a word.
  int trace_level = WELS_LOG_QUIET;
  state->decoder->SetOption(DECODER_OPTION_TRACE_LEVEL, &trace_level);
  SDecodingParam param;
  std::memset(&param, 0, sizeof(param));
  param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  // A damaged picture is dropped, never shown half concealed.
  param.eEcActiveIdc = ERROR_CON_DISABLE;
  if (state->decoder->Initialize(&param) != cmResultSuccess) return nullptr;
  if (!state->to_bgr.Init(width, height, AV_PIX_FMT_YUV420P, AV_PIX_FMT_BGR24)) return nullptr;
  return state.release();
}

int DecodeH264Data(TH264Decoder* decoder, const std::uint8_t* input, std::uint32_t input_length,
                   std::uint8_t* output, std::uint32_t* output_length, int output_format) {
  if (!decoder || !input || !output || !output_length || output_format != kOutputBottomUpBgr24) return -1;
  const int w = decoder->width;
  const int h = decoder->height;
  if (input_length == 0 || input_length > kMaxCompressedFrameBytes || *output_length < BitmapBytes(w, h)) {
    return -1;
  }
  const bool key = HasIdrSlice(input, input_length);
  if (!decoder->key_seen && !key) return -2;

  std::uint8_t* planes[3] = {nullptr, nullptr, nullptr};
  SBufferInfo info;
  std::memset(&info, 0, sizeof(info));
  const DECODING_STATE state =
      decoder->decoder->DecodeFrameNoDelay(input, static_cast<int>(input_length), planes, &info);
  if (state != dsErrorFree || info.iBufferStatus != 1 || !planes[0] || !planes[1] || !planes[2]) return -3;
  const SSysMEMBuffer& picture = info.UsrData.sSystemBuffer;
  if (picture.iWidth != w || picture.iHeight != h) return -4;
  if (key) decoder->key_seen = true;

  const std::uint8_t* source[3] = {planes[0], planes[1], planes[2]};
  const int source_strides[3] = {picture.iStride[0], picture.iStride[1], picture.iStride[1]};
  std::uint8_t* target[1] = {output + static_cast<std::size_t>(h - 1) * w * 3};
  const int target_stride[1] = {-w * 3};
  sws_scale(decoder->to_bgr.context, source, source_strides, 0, h, target, target_stride);
  *output_length = BitmapBytes(w, h);
  return 0;
}

void DeleteH264Decoder(TH264Decoder* decoder) { delete decoder; }

}  // namespace kiv::video
