// An emulated V4L2 camera, loaded with LD_PRELOAD into a program that has no
// camera. It answers the C library calls that a V4L2 client makes (the /dev
// listing, open, ioctl, mmap, poll, read, close, stat and access) for its own
// device nodes and passes every other call to the next definition
// (dlsym(RTLD_NEXT)), so the program runs unchanged and knows nothing of it.
//
// A descriptor of an emulated node is a real memfd: frame buffers live in it,
// so the client's mmap of a buffer is a real shared mapping of the memory the
// emulator draws into. Frames are drawn on demand in VIDIOC_DQBUF, paced by
// the frame interval from the moment streaming started; a client that falls
// behind loses frames as with a real driver (the sequence number jumps).
//
// Faults: a device can disappear (after N frames, on SIGUSR1 or through
// fakecam_set_present): every call on its open descriptors then fails with
// ENODEV, its node leaves the listing and open() says ENOENT; when it comes
// back it has its defaults again, as a replugged camera does.

#include "FakeCamConfig.h"
#include "FakeCamPattern.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define FAKECAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;
using fakecam::DeviceConfig;

// While the emulator itself calls the C library (reading its configuration,
// making memfds) every interposed call goes straight through.
thread_local int t_inside = 0;
struct Inside {
    Inside() { ++t_inside; }
    ~Inside() { --t_inside; }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
};

template <class F>
F Next(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

struct RealCalls {
    int (*open)(const char*, int, ...) = Next<decltype(open)>("open");
    int (*open64)(const char*, int, ...) = Next<decltype(open64)>("open64");
    int (*openat)(int, const char*, int, ...) = Next<decltype(openat)>("openat");
    int (*openat64)(int, const char*, int, ...) = Next<decltype(openat64)>("openat64");
    int (*close)(int) = Next<decltype(close)>("close");
    int (*ioctl)(int, unsigned long, ...) = Next<decltype(ioctl)>("ioctl");
    void* (*mmap)(void*, size_t, int, int, int, off_t) = Next<decltype(mmap)>("mmap");
    void* (*mmap64)(void*, size_t, int, int, int, off64_t) = Next<decltype(mmap64)>("mmap64");
    ssize_t (*read)(int, void*, size_t) = Next<decltype(read)>("read");
    int (*poll)(pollfd*, nfds_t, int) = Next<decltype(poll)>("poll");
    DIR* (*opendir)(const char*) = Next<decltype(opendir)>("opendir");
    dirent* (*readdir)(DIR*) = Next<decltype(readdir)>("readdir");
    dirent64* (*readdir64)(DIR*) = Next<decltype(readdir64)>("readdir64");
    int (*closedir)(DIR*) = Next<decltype(closedir)>("closedir");
    int (*access)(const char*, int) = Next<decltype(access)>("access");
    int (*faccessat)(int, const char*, int, int) = Next<decltype(faccessat)>("faccessat");
    int (*stat)(const char*, struct stat*) = Next<decltype(stat)>("stat");
    int (*lstat)(const char*, struct stat*) = Next<decltype(lstat)>("lstat");
    int (*fstat)(int, struct stat*) = Next<decltype(fstat)>("fstat");
    int (*stat64)(const char*, struct stat64*) = Next<decltype(stat64)>("stat64");
    int (*lstat64)(const char*, struct stat64*) = Next<decltype(lstat64)>("lstat64");
    int (*fstat64)(int, struct stat64*) = Next<decltype(fstat64)>("fstat64");
};

RealCalls& Real()
{
    static RealCalls calls;
    return calls;
}

constexpr int kVideoMajor = 81;

struct Control {
    fakecam::ControlInfo info;
    int32_t value = 0;
};

struct Device {
    DeviceConfig cfg;
    int node = 0;
    std::string path;
    bool present = true;
    uint64_t generation = 1; // bumped on loss: descriptors of an older one are dead
    std::vector<Control> controls;
    int input = 0;
    int inputSets = 0;
    uint32_t pixelFormat = 0, width = 0, height = 0, fps = 30;
    int owner = -1; // the descriptor that holds the buffers
    long framesSincePresent = 0;
    long framesTotal = 0;
    long long drawNs = 0; // CPU time spent drawing (and compressing) frames
    int losses = 0;
    bool returnPending = false;
    Clock::time_point returnAt;

    void Reset()
    {
        controls.clear();
        for (const auto& c : cfg.controls)
            controls.push_back({c, c.def});
        input = 0;
        pixelFormat = cfg.formats.front();
        width = cfg.sizes.front().width;
        height = cfg.sizes.front().height;
        fps = cfg.sizes.front().fps.front();
        framesSincePresent = 0;
    }
    Control* FindControl(uint32_t id)
    {
        for (auto& c : controls)
            if (c.info.id == id)
                return &c;
        return nullptr;
    }
    int32_t ControlValue(uint32_t id, int32_t otherwise)
    {
        const Control* c = FindControl(id);
        return c ? c->value : otherwise;
    }
};

struct Handle {
    int fd = -1;
    Device* dev = nullptr;
    uint64_t generation = 0;
    bool nonblocking = false;
    std::vector<bool> queued; // per buffer
    std::vector<uint32_t> bytesUsed;
    std::deque<uint32_t> queue;
    size_t bufferLength = 0;
    uint8_t* map = nullptr; // the emulator's own mapping of every buffer
    size_t mapLength = 0;
    bool streaming = false;
    Clock::time_point start;
    uint64_t nextFrame = 0;
    std::vector<uint8_t> picture, jpeg;

    bool Alive() const { return dev->present && generation == dev->generation; }
};

struct DirListing {
    std::vector<std::string> names;
    size_t pos = 0;
    dirent entry{};
    dirent64 entry64{};
};

struct State {
    std::mutex mu;
    bool loaded = false;
    std::vector<std::unique_ptr<Device>> devices;
    std::map<int, std::shared_ptr<Handle>> handles;
    std::map<DIR*, std::unique_ptr<DirListing>> dirs;
};

State& S()
{
    static State* state = new State; // never destroyed: calls may come during exit
    return *state;
}

std::atomic<bool> g_signalled{false};
std::atomic<int> g_handleCount{0}; // lets every other descriptor skip the lock
void OnSignal(int) { g_signalled = true; }

void Log(const Device& d, const std::string& line)
{
    const char* file = std::getenv("FAKECAM_LOG");
    if (!file || !*file)
        return;
    Inside in;
    if (FILE* f = std::fopen(file, "a")) {
        std::fprintf(f, "%s %s\n", d.path.c_str(), line.c_str());
        std::fclose(f);
    }
}

std::string NodePath(int n) { return "/dev/video" + std::to_string(n); }

// Must hold S().mu.
void LoadLocked()
{
    State& s = S();
    if (s.loaded)
        return;
    s.loaded = true;
    Inside in;
    std::vector<int> used;
    bool signal = false;
    for (auto& cfg : fakecam::LoadConfig()) {
        auto d = std::make_unique<Device>();
        d->cfg = cfg;
        int n = cfg.node;
        if (n < 0) {
            n = 0;
            struct stat st;
            while (std::find(used.begin(), used.end(), n) != used.end() || Real().stat(NodePath(n).c_str(), &st) == 0)
                ++n;
        }
        used.push_back(n);
        d->node = n;
        d->path = NodePath(n);
        d->Reset();
        signal = signal || cfg.onSignal;
        s.devices.push_back(std::move(d));
    }
    if (signal) {
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &sa, nullptr);
    }
}

void Lose(Device& d)
{
    d.present = false;
    ++d.generation;
    ++d.losses;
    d.owner = -1;
    d.returnPending = d.cfg.returnAfterMs >= 0;
    d.returnAt = Clock::now() + std::chrono::milliseconds(d.cfg.returnAfterMs);
    Log(d, "lost");
}

void Return(Device& d)
{
    d.present = true;
    d.returnPending = false;
    if (d.cfg.returnNode >= 0) {
        d.node = d.cfg.returnNode;
        d.path = NodePath(d.node);
    }
    d.Reset();
    Log(d, "returned");
}

// Applies pending faults. Must hold S().mu.
void TickLocked()
{
    LoadLocked();
    const bool signalled = g_signalled.exchange(false);
    const auto now = Clock::now();
    for (auto& d : S().devices) {
        if (signalled && d->cfg.onSignal) {
            if (d->present)
                Lose(*d);
            else
                Return(*d);
        } else if (!d->present && d->returnPending && now >= d->returnAt) {
            Return(*d);
        }
    }
}

// The device whose node is `path` (present or not), or null.
Device* DeviceAtLocked(const char* path)
{
    if (!path || std::strncmp(path, "/dev/", 5) != 0)
        return nullptr;
    for (auto& d : S().devices)
        if (d->path == path)
            return d.get();
    return nullptr;
}

std::shared_ptr<Handle> HandleOf(int fd)
{
    if (t_inside || fd < 0)
        return nullptr;
    if (g_handleCount.load(std::memory_order_relaxed) == 0)
        return nullptr;
    State& s = S();
    std::lock_guard lock(s.mu);
    auto it = s.handles.find(fd);
    return it == s.handles.end() ? nullptr : it->second;
}

// Opens an emulated node: true when `path` is one (fd or errno set).
bool TryOpen(const char* path, int flags, int& fd)
{
    if (t_inside || !path || std::strncmp(path, "/dev/", 5) != 0)
        return false;
    State& s = S();
    std::lock_guard lock(s.mu);
    TickLocked();
    Device* d = DeviceAtLocked(path);
    if (!d)
        return false;
    if (!d->present) {
        errno = ENOENT;
        fd = -1;
        return true;
    }
    Inside in;
    fd = ::memfd_create("fakecam", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0)
        return true;
    auto h = std::make_shared<Handle>();
    h->fd = fd;
    h->dev = d;
    h->generation = d->generation;
    h->nonblocking = flags & O_NONBLOCK;
    s.handles[fd] = h;
    g_handleCount = static_cast<int>(s.handles.size());
    return true;
}

// True (with *st filled or errno set) when `path` is an emulated node.
template <class Stat>
bool TryStat(const char* path, Stat* st, int& rc)
{
    if (t_inside || !path || std::strncmp(path, "/dev/", 5) != 0)
        return false;
    State& s = S();
    std::lock_guard lock(s.mu);
    TickLocked();
    Device* d = DeviceAtLocked(path);
    if (!d)
        return false;
    if (!d->present) {
        errno = ENOENT;
        rc = -1;
        return true;
    }
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(kVideoMajor, static_cast<unsigned>(d->node));
    st->st_nlink = 1;
    st->st_blksize = 4096;
    rc = 0;
    return true;
}

template <class Stat>
void FillFdStat(const Handle& h, Stat* st)
{
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(kVideoMajor, static_cast<unsigned>(h.dev->node));
    st->st_nlink = 1;
    st->st_blksize = 4096;
}

// ---- ioctl --------------------------------------------------------------------------

void FillPix(v4l2_pix_format& p, uint32_t format, uint32_t w, uint32_t h)
{
    std::memset(&p, 0, sizeof p);
    p.width = w;
    p.height = h;
    p.pixelformat = format;
    p.field = V4L2_FIELD_NONE;
    p.bytesperline = format == V4L2_PIX_FMT_YUYV ? w * 2 : 0;
    p.sizeimage = w * h * 2;
    p.colorspace = format == V4L2_PIX_FMT_MJPEG ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
    p.priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

const fakecam::FrameSize& NearestSize(const DeviceConfig& cfg, uint32_t w, uint32_t h)
{
    const fakecam::FrameSize* best = &cfg.sizes.front();
    long bestScore = -1;
    for (const auto& s : cfg.sizes) {
        const long score = std::labs(static_cast<long>(s.width) - static_cast<long>(w)) +
                           std::labs(static_cast<long>(s.height) - static_cast<long>(h));
        if (bestScore < 0 || score < bestScore) {
            best = &s;
            bestScore = score;
        }
    }
    return *best;
}

const fakecam::FrameSize* ExactSize(const DeviceConfig& cfg, uint32_t w, uint32_t h)
{
    for (const auto& s : cfg.sizes)
        if (s.width == w && s.height == h)
            return &s;
    return nullptr;
}

bool HasFormat(const DeviceConfig& cfg, uint32_t f) { return std::find(cfg.formats.begin(), cfg.formats.end(), f) != cfg.formats.end(); }

void CopyName(uint8_t* dst, size_t size, const std::string& src)
{
    std::memset(dst, 0, size);
    std::memcpy(dst, src.data(), std::min(size - 1, src.size()));
}

void ReleaseBuffers(Handle& h)
{
    if (h.map) {
        Inside in;
        ::munmap(h.map, h.mapLength);
    }
    h.map = nullptr;
    h.mapLength = 0;
    h.queued.clear();
    h.bytesUsed.clear();
    h.queue.clear();
    h.streaming = false;
    if (h.dev->owner == h.fd)
        h.dev->owner = -1;
}

void FillBuffer(const Handle& h, uint32_t index, v4l2_buffer& b)
{
    const uint32_t type = b.type;
    std::memset(&b, 0, sizeof b);
    b.type = type;
    b.index = index;
    b.memory = V4L2_MEMORY_MMAP;
    b.length = static_cast<uint32_t>(h.bufferLength);
    b.m.offset = static_cast<uint32_t>(index * h.bufferLength);
    b.bytesused = h.bytesUsed[index];
    b.field = V4L2_FIELD_NONE;
    b.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (h.queued[index] ? V4L2_BUF_FLAG_QUEUED : 0);
}

int QueryControl(Device& d, v4l2_queryctrl& q)
{
    Control* c = nullptr;
    if (q.id & V4L2_CTRL_FLAG_NEXT_CTRL) {
        const uint32_t after = q.id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        for (auto& x : d.controls)
            if (x.info.id > after && (!c || x.info.id < c->info.id))
                c = &x;
    } else {
        c = d.FindControl(q.id);
    }
    if (!c)
        return -EINVAL;
    std::memset(&q, 0, sizeof q);
    q.id = c->info.id;
    q.type = c->info.boolean ? V4L2_CTRL_TYPE_BOOLEAN : V4L2_CTRL_TYPE_INTEGER;
    CopyName(q.name, sizeof q.name, c->info.label);
    q.minimum = c->info.minimum;
    q.maximum = c->info.maximum;
    q.step = c->info.step;
    q.default_value = c->info.def;
    if (c->info.id == V4L2_CID_WHITE_BALANCE_TEMPERATURE && d.ControlValue(V4L2_CID_AUTO_WHITE_BALANCE, 0))
        q.flags |= V4L2_CTRL_FLAG_INACTIVE;
    return 0;
}

struct FrameJob {
    fakecam::PatternParams params;
    uint32_t pixelFormat = 0;
    uint8_t* dst = nullptr;
    size_t capacity = 0;
};

FrameJob PrepareFrame(Handle& h, uint64_t frame, uint32_t index)
{
    Device& d = *h.dev;
    FrameJob job;
    job.params.width = d.width;
    job.params.height = d.height;
    job.params.frame = frame;
    job.params.input = d.input;
    if (const Control* c = d.FindControl(V4L2_CID_BRIGHTNESS))
        job.params.brightness = (c->value - c->info.def) * 64 / std::max(1, c->info.maximum - c->info.minimum);
    job.pixelFormat = d.pixelFormat;
    job.dst = h.map + index * h.bufferLength;
    job.capacity = h.bufferLength;
    return job;
}

// Draws without the lock held; returns the bytes used.
uint32_t DrawFrame(Handle& h, const FrameJob& job)
{
    const size_t raw = static_cast<size_t>(job.params.width) * job.params.height * 2;
    if (job.pixelFormat == V4L2_PIX_FMT_YUYV) {
        fakecam::DrawYuyv(job.params, job.dst);
        return static_cast<uint32_t>(raw);
    }
    h.picture.resize(raw);
    fakecam::DrawYuyv(job.params, h.picture.data());
    Inside in; // libjpeg allocates
    fakecam::EncodeJpeg(h.picture.data(), job.params.width, job.params.height, h.jpeg);
    const size_t n = std::min(h.jpeg.size(), job.capacity);
    std::memcpy(job.dst, h.jpeg.data(), n);
    return static_cast<uint32_t>(n);
}

// VIDIOC_DQBUF: waits (without the lock) until the next frame is due.
int Dequeue(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Handle>& hp, v4l2_buffer& b)
{
    Handle& h = *hp;
    for (;;) {
        TickLocked();
        if (!h.Alive())
            return -ENODEV;
        if (!h.streaming)
            return -EINVAL;
        Device& d = *h.dev;
        const auto interval = std::chrono::nanoseconds(1000000000LL / d.fps);
        const auto now = Clock::now();
        const auto due = h.start + interval * static_cast<int64_t>(h.nextFrame);
        if (h.queue.empty() || now < due) {
            if (h.nonblocking)
                return -EAGAIN;
            lock.unlock();
            std::this_thread::sleep_for(h.queue.empty() ? std::chrono::nanoseconds(std::chrono::milliseconds(5))
                                                        : std::min<std::chrono::nanoseconds>(due - now, std::chrono::milliseconds(20)));
            lock.lock();
            if (S().handles.find(h.fd) == S().handles.end())
                return -EBADF;
            continue;
        }
        if (d.cfg.loseAfter >= 0 && d.losses < d.cfg.loseTimes && d.framesSincePresent >= d.cfg.loseAfter) {
            Lose(d);
            return -ENODEV;
        }
        // A client that fell behind gets the newest frame; the ones between are dropped.
        const uint64_t late = static_cast<uint64_t>((now - h.start) / interval);
        if (late > h.nextFrame)
            h.nextFrame = late;
        const uint32_t index = h.queue.front();
        h.queue.pop_front();
        h.queued[index] = false;
        const uint64_t frame = h.nextFrame++;
        ++d.framesSincePresent;
        ++d.framesTotal;
        const FrameJob job = PrepareFrame(h, frame, index);
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        lock.unlock();
        timespec cpu0, cpu1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        const uint32_t used = DrawFrame(h, job);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        lock.lock();
        d.drawNs += (cpu1.tv_sec - cpu0.tv_sec) * 1000000000LL + (cpu1.tv_nsec - cpu0.tv_nsec);
        h.bytesUsed[index] = used;
        FillBuffer(h, index, b);
        b.flags |= V4L2_BUF_FLAG_DONE;
        b.sequence = static_cast<uint32_t>(frame);
        b.timestamp.tv_sec = ts.tv_sec;
        b.timestamp.tv_usec = ts.tv_nsec / 1000;
        return 0;
    }
}

int DoIoctl(const std::shared_ptr<Handle>& hp, unsigned long request, void* arg)
{
    State& s = S();
    std::unique_lock lock(s.mu);
    TickLocked();
    Handle& h = *hp;
    Device& d = *h.dev;
    if (!h.Alive())
        return -ENODEV;
    if (!arg)
        return -EFAULT;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto& c = *static_cast<v4l2_capability*>(arg);
        std::memset(&c, 0, sizeof c);
        CopyName(c.driver, sizeof c.driver, "fakecam");
        CopyName(c.card, sizeof c.card, d.cfg.card);
        CopyName(c.bus_info, sizeof c.bus_info, d.cfg.bus);
        c.version = (6 << 16) | (1 << 8);
        c.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        c.capabilities = c.device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto& f = *static_cast<v4l2_fmtdesc*>(arg);
        if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f.index >= d.cfg.formats.size())
            return -EINVAL;
        const uint32_t index = f.index, format = d.cfg.formats[index];
        std::memset(&f, 0, sizeof f);
        f.index = index;
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.pixelformat = format;
        f.flags = format == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        CopyName(f.description, sizeof f.description, format == V4L2_PIX_FMT_MJPEG ? "Motion-JPEG" : "YUYV 4:2:2");
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto& f = *static_cast<v4l2_format*>(arg);
        if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        FillPix(f.fmt.pix, d.pixelFormat, d.width, d.height);
        return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto& f = *static_cast<v4l2_format*>(arg);
        if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        const bool set = request == VIDIOC_S_FMT;
        if (set && (d.cfg.busy || (d.owner >= 0 && d.owner != h.fd) || !h.queued.empty()))
            return -EBUSY;
        if (d.cfg.refuseFormat)
            return -EINVAL;
        const uint32_t format = HasFormat(d.cfg, f.fmt.pix.pixelformat) ? f.fmt.pix.pixelformat : d.cfg.formats.front();
        const auto& size = NearestSize(d.cfg, f.fmt.pix.width, f.fmt.pix.height);
        FillPix(f.fmt.pix, format, size.width, size.height);
        if (set) {
            d.pixelFormat = format;
            d.width = size.width;
            d.height = size.height;
            if (std::find(size.fps.begin(), size.fps.end(), d.fps) == size.fps.end())
                d.fps = size.fps.front();
        }
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto& f = *static_cast<v4l2_frmsizeenum*>(arg);
        if (!HasFormat(d.cfg, f.pixel_format) || f.index >= d.cfg.sizes.size())
            return -EINVAL;
        f.type = V4L2_FRMSIZE_TYPE_DISCRETE;
        f.discrete.width = d.cfg.sizes[f.index].width;
        f.discrete.height = d.cfg.sizes[f.index].height;
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto& f = *static_cast<v4l2_frmivalenum*>(arg);
        const auto* size = ExactSize(d.cfg, f.width, f.height);
        if (!HasFormat(d.cfg, f.pixel_format) || !size || f.index >= size->fps.size())
            return -EINVAL;
        f.type = V4L2_FRMIVAL_TYPE_DISCRETE;
        f.discrete.numerator = 1;
        f.discrete.denominator = size->fps[f.index];
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto& p = *static_cast<v4l2_streamparm*>(arg);
        if (p.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        if (request == VIDIOC_S_PARM) {
            if (h.streaming)
                return -EBUSY;
            const auto& tpf = p.parm.capture.timeperframe;
            const double want = tpf.numerator ? static_cast<double>(tpf.denominator) / tpf.numerator : 0;
            const auto* size = ExactSize(d.cfg, d.width, d.height);
            uint32_t best = size->fps.front();
            for (uint32_t f : size->fps)
                if (want > 0 && std::abs(f - want) < std::abs(best - want))
                    best = f;
            d.fps = best;
        }
        std::memset(&p.parm, 0, sizeof p.parm);
        p.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p.parm.capture.timeperframe = {1, d.fps};
        return 0;
    }
    case VIDIOC_ENUMINPUT: {
        auto& in = *static_cast<v4l2_input*>(arg);
        if (in.index >= d.cfg.inputs.size())
            return -EINVAL;
        const uint32_t index = in.index;
        std::memset(&in, 0, sizeof in);
        in.index = index;
        CopyName(in.name, sizeof in.name, d.cfg.inputs[index]);
        in.type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    case VIDIOC_G_INPUT:
        *static_cast<int*>(arg) = d.input;
        return 0;
    case VIDIOC_S_INPUT: {
        const int index = *static_cast<int*>(arg);
        if (index < 0 || static_cast<size_t>(index) >= d.cfg.inputs.size())
            return -EINVAL;
        d.input = index;
        ++d.inputSets;
        Log(d, "S_INPUT " + std::to_string(index));
        return 0;
    }
    case VIDIOC_QUERYCTRL:
        return QueryControl(d, *static_cast<v4l2_queryctrl*>(arg));
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        auto& c = *static_cast<v4l2_control*>(arg);
        Control* ctl = d.FindControl(c.id);
        if (!ctl)
            return -EINVAL;
        if (request == VIDIOC_S_CTRL) {
            const auto& sp = ctl->info;
            int32_t v = std::clamp(c.value, sp.minimum, sp.maximum);
            v = sp.minimum + (v - sp.minimum) / sp.step * sp.step;
            ctl->value = v;
            Log(d, "S_CTRL " + sp.name + "=" + std::to_string(v));
        }
        c.value = ctl->value;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto& r = *static_cast<v4l2_requestbuffers*>(arg);
        if (r.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r.memory != V4L2_MEMORY_MMAP)
            return -EINVAL;
        if (h.streaming || d.cfg.busy || (d.owner >= 0 && d.owner != h.fd))
            return -EBUSY;
        ReleaseBuffers(h);
        if (r.count == 0) {
            r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
            return 0;
        }
        const uint32_t count = std::clamp<uint32_t>(r.count, 2, 32);
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        h.bufferLength = (static_cast<size_t>(d.width) * d.height * 2 + page - 1) / page * page;
        Inside in;
        const size_t total = h.bufferLength * count;
        if (::ftruncate(h.fd, static_cast<off_t>(total)) != 0)
            return -ENOMEM;
        void* m = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, h.fd, 0);
        if (m == MAP_FAILED)
            return -ENOMEM;
        h.map = static_cast<uint8_t*>(m);
        h.mapLength = total;
        h.queued.assign(count, false);
        h.bytesUsed.assign(count, 0);
        d.owner = h.fd;
        r.count = count;
        r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto& b = *static_cast<v4l2_buffer*>(arg);
        if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.index >= h.queued.size() || b.memory != V4L2_MEMORY_MMAP)
            return -EINVAL;
        if (request == VIDIOC_QBUF) {
            if (h.queued[b.index])
                return -EINVAL;
            h.queued[b.index] = true;
            h.queue.push_back(b.index);
        }
        FillBuffer(h, b.index, b);
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto& b = *static_cast<v4l2_buffer*>(arg);
        if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.memory != V4L2_MEMORY_MMAP)
            return -EINVAL;
        return Dequeue(lock, hp, b);
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        if (request == VIDIOC_STREAMON) {
            if (h.queued.empty())
                return -EINVAL;
            if (!h.streaming) {
                h.streaming = true;
                h.start = Clock::now();
                h.nextFrame = 0;
            }
        } else {
            h.streaming = false;
            h.queue.clear();
            std::fill(h.queued.begin(), h.queued.end(), false);
        }
        return 0;
    default:
        // Standards, tuners, crop, priorities, extended controls: a webcam has none.
        return -ENOTTY;
    }
}

template <class Stat>
int StatCall(const char* path, Stat* st, int (*real)(const char*, Stat*))
{
    int rc = 0;
    if (TryStat(path, st, rc))
        return rc;
    return real(path, st);
}

bool IsDevDir(const char* name)
{
    return name && (std::strcmp(name, "/dev") == 0 || std::strcmp(name, "/dev/") == 0);
}

bool IsFakeName(const char* name)
{
    for (auto& d : S().devices)
        if (d->path.compare(5, std::string::npos, name) == 0)
            return true;
    return false;
}

template <class Entry>
Entry* NextEntry(DIR* dir, Entry* (*real)(DIR*), Entry DirListing::*member)
{
    DirListing* listing = nullptr;
    if (!t_inside) {
        std::lock_guard lock(S().mu);
        auto it = S().dirs.find(dir);
        if (it != S().dirs.end())
            listing = it->second.get();
    }
    if (!listing)
        return real(dir);
    // The real entries first (hiding any node an emulated one stands in for), then ours.
    for (;;) {
        const int saved = errno;
        Entry* e = real(dir);
        if (!e) {
            errno = saved;
            break;
        }
        std::lock_guard lock(S().mu);
        if (!IsFakeName(e->d_name))
            return e;
    }
    if (listing->pos >= listing->names.size())
        return nullptr;
    Entry& e = listing->*member;
    std::memset(&e, 0, sizeof e);
    const std::string& name = listing->names[listing->pos++];
    e.d_ino = 0x7fff0000 + listing->pos;
    e.d_type = DT_CHR;
    e.d_reclen = sizeof e;
    std::snprintf(e.d_name, sizeof e.d_name, "%s", name.c_str());
    return &e;
}

int OpenCommon(const char* path, int flags, mode_t mode, int (*real)(const char*, int, ...))
{
    int fd = -1;
    if (TryOpen(path, flags, fd))
        return fd;
    return real(path, flags, mode);
}

bool NeedsMode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

} // namespace

// ---- interposed C library calls ---------------------------------------------------------

#pragma GCC visibility push(default)
extern "C" {

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (NeedsMode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return OpenCommon(path, flags, mode, Real().open);
}

int open64(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (NeedsMode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return OpenCommon(path, flags, mode, Real().open64);
}

int __open_2(const char* path, int flags) { return OpenCommon(path, flags, 0, Real().open); }
int __open64_2(const char* path, int flags) { return OpenCommon(path, flags, 0, Real().open64); }

int openat(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (NeedsMode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int fd = -1;
    if (TryOpen(path, flags, fd))
        return fd;
    return Real().openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (NeedsMode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int fd = -1;
    if (TryOpen(path, flags, fd))
        return fd;
    return Real().openat64(dirfd, path, flags, mode);
}

int close(int fd)
{
    if (auto h = HandleOf(fd)) {
        std::lock_guard lock(S().mu);
        ReleaseBuffers(*h);
        S().handles.erase(fd);
        g_handleCount = static_cast<int>(S().handles.size());
    }
    return Real().close(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (auto h = HandleOf(fd)) {
        const int rc = DoIoctl(h, request, arg);
        if (rc < 0) {
            errno = -rc;
            return -1;
        }
        return rc;
    }
    return Real().ioctl(fd, request, arg);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) noexcept
{
    if (auto h = HandleOf(fd)) {
        std::lock_guard lock(S().mu);
        if (!h->Alive()) {
            errno = ENODEV;
            return MAP_FAILED;
        }
        if (offset < 0 || static_cast<size_t>(offset) + length > h->mapLength) {
            errno = EINVAL;
            return MAP_FAILED;
        }
    }
    return Real().mmap(addr, length, prot, flags, fd, offset);
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) noexcept
{
    return mmap(addr, length, prot, flags, fd, static_cast<off_t>(offset));
}

ssize_t read(int fd, void* buf, size_t count)
{
    if (auto h = HandleOf(fd)) {
        // Only streaming I/O is offered, as most USB cameras do.
        std::lock_guard lock(S().mu);
        errno = h->Alive() ? EINVAL : ENODEV;
        return -1;
    }
    return Real().read(fd, buf, count);
}

int poll(pollfd* fds, nfds_t nfds, int timeout)
{
    std::vector<std::shared_ptr<Handle>> ours(nfds);
    bool any = false;
    if (!t_inside)
        for (nfds_t i = 0; i < nfds; ++i)
            if ((ours[i] = HandleOf(fds[i].fd)))
                any = true;
    if (!any)
        return Real().poll(fds, nfds, timeout);
    // Our descriptors are ready when a frame is due; the others are asked
    // for real in short slices so both kinds are served.
    std::vector<pollfd> others(fds, fds + nfds);
    for (nfds_t i = 0; i < nfds; ++i)
        if (ours[i])
            others[i].fd = -1;
    const auto end = Clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        int ready = 0;
        {
            std::lock_guard lock(S().mu);
            TickLocked();
            for (nfds_t i = 0; i < nfds; ++i) {
                if (!ours[i])
                    continue;
                Handle& h = *ours[i];
                short ev = 0;
                if (!h.Alive() || !h.streaming)
                    ev = POLLERR;
                else if (!h.queue.empty() &&
                         Clock::now() >= h.start + std::chrono::nanoseconds(1000000000LL / h.dev->fps) * static_cast<int64_t>(h.nextFrame))
                    ev = static_cast<short>((POLLIN | POLLRDNORM) & (fds[i].events | POLLERR));
                fds[i].revents = ev;
                ready += ev ? 1 : 0;
            }
        }
        const int slice = ready ? 0 : 5;
        const int rc = Real().poll(others.data(), nfds, slice);
        if (rc < 0)
            return rc;
        for (nfds_t i = 0; i < nfds; ++i)
            if (!ours[i]) {
                fds[i].revents = others[i].revents;
                ready += others[i].revents ? 1 : 0;
            }
        if (ready || timeout == 0 || (timeout > 0 && Clock::now() >= end))
            return ready;
    }
}

DIR* opendir(const char* name)
{
    DIR* dir = Real().opendir(name);
    if (dir && !t_inside && IsDevDir(name)) {
        std::lock_guard lock(S().mu);
        TickLocked();
        auto listing = std::make_unique<DirListing>();
        for (auto& d : S().devices)
            if (d->present)
                listing->names.push_back(d->path.substr(5));
        S().dirs[dir] = std::move(listing);
    }
    return dir;
}

dirent* readdir(DIR* dir) { return NextEntry(dir, Real().readdir, &DirListing::entry); }
dirent64* readdir64(DIR* dir) { return NextEntry(dir, Real().readdir64, &DirListing::entry64); }

int closedir(DIR* dir)
{
    if (!t_inside) {
        std::lock_guard lock(S().mu);
        S().dirs.erase(dir);
    }
    return Real().closedir(dir);
}

int access(const char* path, int mode) noexcept
{
    struct stat st;
    int rc = 0;
    if (TryStat(path, &st, rc))
        return rc;
    return Real().access(path, mode);
}

int faccessat(int dirfd, const char* path, int mode, int flags) noexcept
{
    struct stat st;
    int rc = 0;
    if (TryStat(path, &st, rc))
        return rc;
    return Real().faccessat(dirfd, path, mode, flags);
}

int stat(const char* path, struct stat* st) noexcept { return StatCall(path, st, Real().stat); }
int lstat(const char* path, struct stat* st) noexcept { return StatCall(path, st, Real().lstat); }
int stat64(const char* path, struct stat64* st) noexcept { return StatCall(path, st, Real().stat64); }
int lstat64(const char* path, struct stat64* st) noexcept { return StatCall(path, st, Real().lstat64); }

int fstat(int fd, struct stat* st) noexcept
{
    if (auto h = HandleOf(fd)) {
        FillFdStat(*h, st);
        return 0;
    }
    return Real().fstat(fd, st);
}

int fstat64(int fd, struct stat64* st) noexcept
{
    if (auto h = HandleOf(fd)) {
        FillFdStat(*h, st);
        return 0;
    }
    return Real().fstat64(fd, st);
}

} // extern "C"
#pragma GCC visibility pop

// ---- control from tests in the same process (found with dlsym) ---------------------------

namespace {
Device* DeviceByIndex(int index)
{
    LoadLocked();
    return index >= 0 && static_cast<size_t>(index) < S().devices.size() ? S().devices[static_cast<size_t>(index)].get() : nullptr;
}
} // namespace

FAKECAM_EXPORT int fakecam_device_count()
{
    std::lock_guard lock(S().mu);
    LoadLocked();
    return static_cast<int>(S().devices.size());
}

// Makes device `index` disappear (0) or come back (1); -1 for a bad index.
FAKECAM_EXPORT int fakecam_set_present(int index, int present)
{
    std::lock_guard lock(S().mu);
    Device* d = DeviceByIndex(index);
    if (!d)
        return -1;
    if (present && !d->present)
        Return(*d);
    else if (!present && d->present)
        Lose(*d);
    return 0;
}

// The current value of a control by its configuration name; 0 on success.
FAKECAM_EXPORT int fakecam_control(int index, const char* name, int* value)
{
    std::lock_guard lock(S().mu);
    Device* d = DeviceByIndex(index);
    if (!d || !name || !value)
        return -1;
    for (const auto& c : d->controls)
        if (c.info.name == name) {
            *value = c.value;
            return 0;
        }
    return -1;
}

// The selected input and how often VIDIOC_S_INPUT was called.
FAKECAM_EXPORT int fakecam_input(int index, int* sets)
{
    std::lock_guard lock(S().mu);
    Device* d = DeviceByIndex(index);
    if (!d)
        return -1;
    if (sets)
        *sets = d->inputSets;
    return d->input;
}

FAKECAM_EXPORT long fakecam_frames(int index)
{
    std::lock_guard lock(S().mu);
    Device* d = DeviceByIndex(index);
    return d ? d->framesTotal : -1;
}

// CPU time (ns) this process spent drawing the device's frames.
FAKECAM_EXPORT long long fakecam_draw_ns(int index)
{
    std::lock_guard lock(S().mu);
    Device* d = DeviceByIndex(index);
    return d ? d->drawNs : -1;
}

FAKECAM_EXPORT int fakecam_node(int index)
{
    std::lock_guard lock(S().mu);
    Device* d = DeviceByIndex(index);
    return d ? d->node : -1;
}

// Reads the configuration again from the environment; -1 while a node is open.
FAKECAM_EXPORT int fakecam_reload()
{
    std::lock_guard lock(S().mu);
    if (!S().handles.empty())
        return -1;
    S().devices.clear();
    S().loaded = false;
    LoadLocked();
    return 0;
}
