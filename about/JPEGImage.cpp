#include "about/JPEGImage.h"

#include <csetjmp>
#include <cstdio>
#include <memory>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "platform/Files.h"

namespace {

// libjpeg's default error handler prints and calls exit(). This one records
// the message and jumps back to Decode's setjmp, which frees the decoder and
// raises EJPEG. Only libjpeg's C frames and this handler lie between the two,
// so the jump skips no C++ destructor.
struct ErrorManager {
  jpeg_error_mgr Base;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

// Everything the decoder touches lives here, in the caller's frame, so that
// nothing held in Decode's own locals is stale after the jump.
struct Decoder {
  jpeg_decompress_struct Info;
  ErrorManager Err;
  TBitmap Out;
};

[[noreturn]] void OnError(j_common_ptr Info) {
  auto* err = reinterpret_cast<ErrorManager*>(Info->err);
  (*Info->err->format_message)(Info, err->Message);
  // libjpeg's error exit must not return, and its C frames cannot carry a C++
  // exception: the jump is the only way out (see above).
  std::longjmp(err->Jump, 1);  // NOLINT(cert-err52-cpp)
}

// Warnings (level -1) mean corrupt data that libjpeg would paper over, such as
// a premature end of the data: treat them as errors. Trace messages are dropped.
void OnMessage(j_common_ptr Info, int Level) {
  if (Level < 0) OnError(Info);
}

// Decodes Data into D.Out; false (with D.Err.Message) on any error.
bool DecodeInto(const std::string& Data, Decoder& D, int MaxSide) {
  jpeg_decompress_struct& info = D.Info;
  info.err = jpeg_std_error(&D.Err.Base);
  D.Err.Base.error_exit = OnError;
  D.Err.Base.emit_message = OnMessage;
  if (setjmp(D.Err.Jump) != 0) {  // NOLINT(cert-err52-cpp): OnError's landing point
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(Data.data()),
               static_cast<unsigned long>(Data.size()));
  jpeg_read_header(&info, TRUE);
  if (info.image_width > static_cast<JDIMENSION>(MaxSide) ||
      info.image_height > static_cast<JDIMENSION>(MaxSide)) {
    // A cut message is still a message: the result is of no use here.
    (void)std::snprintf(D.Err.Message, sizeof D.Err.Message, "JPEG image is too large (%ux%u)",
                        static_cast<unsigned>(info.image_width),
                        static_cast<unsigned>(info.image_height));
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  D.Out.Width = static_cast<int>(info.output_width);
  D.Out.Height = static_cast<int>(info.output_height);
  const size_t stride = static_cast<size_t>(info.output_width) * 3;
  D.Out.Pixels.resize(stride * info.output_height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = D.Out.Pixels.data() + stride * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

void TJPEGImage::LoadFromBytes(std::span<const uint8_t> Data) {
  FData.assign(reinterpret_cast<const char*>(Data.data()), Data.size());
}

void TJPEGImage::LoadFromFile(const std::string& FileName) {
  FData = files::ReadFile(FileName);
}

TBitmap TJPEGImage::Decode() const {
  if (FData.empty()) throw EJPEG("JPEG image is empty");
  auto d = std::make_unique<Decoder>();
  if (!DecodeInto(FData, *d, kMaxSide)) throw EJPEG(d->Err.Message);
  return std::move(d->Out);
}
