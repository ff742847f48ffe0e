#include "backend_win/keep_alive_render.hpp"

#include "common/win_error.hpp"

namespace kestrune::win {

StepValue<KeepAliveRender> KeepAliveRender::open(IMMDevice* device) {
    KeepAliveRender k;
    auto client = activate_audio_client(device);
    if (!client)
        return std::unexpected(client.error());
    k.client_ = std::move(*client);
    auto mix = read_mix_format(k.client_.Get());
    if (!mix)
        return std::unexpected(mix.error());
    HRESULT hr = k.client_->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, KEEP_ALIVE_BUFFER_DURATION, 0,
                                       mix->get(), nullptr);
    if (FAILED(hr))
        return std::unexpected(hr_text("Initialize", hr));
    hr = k.client_->GetBufferSize(&k.buffer_frames_);
    if (FAILED(hr))
        return std::unexpected(hr_text("GetBufferSize", hr));
    hr = k.client_->GetService(IID_PPV_ARGS(&k.render_));
    if (FAILED(hr))
        return std::unexpected(hr_text("GetService", hr));
    // A started stream with an empty buffer would glitch before the first pump.
    k.fill(k.buffer_frames_);
    hr = k.client_->Start();
    if (FAILED(hr))
        return std::unexpected(hr_text("Start", hr));
    k.started_ = true;
    return k;
}

KeepAliveRender::~KeepAliveRender() {
    if (started_ && client_)
        client_->Stop();
}

UINT32 KeepAliveRender::fill(UINT32 frames) {
    if (frames == 0)
        return 0;
    BYTE* data = nullptr;
    if (FAILED(render_->GetBuffer(frames, &data)))
        return 0;
    if (FAILED(render_->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT)))
        return 0;
    return frames;
}

UINT32 KeepAliveRender::pump() {
    UINT32 padding = 0;
    if (FAILED(client_->GetCurrentPadding(&padding)) || padding > buffer_frames_)
        return 0;
    return fill(buffer_frames_ - padding);
}

}  // namespace kestrune::win
