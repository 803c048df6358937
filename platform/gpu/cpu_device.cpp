#include "gpu/cpu_device.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

#include "gpu/video_converter.h"

namespace tallowmarch::platform {

// ---- faults ------------------------------------------------------------------------------------

void GpuFaults::Fail(GpuCall call, HRESULT hr, int times) {
  std::lock_guard lock(mutex_);
  scripted_[static_cast<std::size_t>(call)] = {hr, times};
}

void GpuFaults::AddStillDrawingAnswers(int count) {
  std::lock_guard lock(mutex_);
  stillDrawing_ += count;
}

void GpuFaults::SetCommandDelay(std::chrono::microseconds delay) {
  std::lock_guard lock(mutex_);
  commandDelay_ = delay;
}

void GpuFaults::SetNv12SupportFlags(std::uint32_t flags) {
  std::lock_guard lock(mutex_);
  nv12Override_ = true;
  nv12Flags_ = flags;
}

void GpuFaults::Reset() {
  std::lock_guard lock(mutex_);
  scripted_ = {};
  stillDrawing_ = 0;
  commandDelay_ = std::chrono::microseconds{0};
  nv12Override_ = false;
  nv12Flags_ = 0;
}

HRESULT GpuFaults::Check(GpuCall call) {
  std::lock_guard lock(mutex_);
  Scripted& s = scripted_[static_cast<std::size_t>(call)];
  if (s.times == 0) return S_OK;
  if (s.times > 0) --s.times;
  return s.hr;
}

bool GpuFaults::TakeStillDrawing() {
  std::lock_guard lock(mutex_);
  if (stillDrawing_ <= 0) return false;
  --stillDrawing_;
  return true;
}

std::chrono::microseconds GpuFaults::CommandDelay() const {
  std::lock_guard lock(mutex_);
  return commandDelay_;
}

bool GpuFaults::Nv12SupportOverride(std::uint32_t& flags) const {
  std::lock_guard lock(mutex_);
  flags = nv12Flags_;
  return nv12Override_;
}

int GpuFaults::StillDrawingAnswersLeft() const {
  std::lock_guard lock(mutex_);
  return stillDrawing_;
}

namespace {

// GPUs pad rows; so do we, so that readers that ignore the pitch fail visibly.
constexpr std::uint32_t kRowAlignment = 256;
// DXGI_ERROR_INVALID_CALL: a call the runtime refuses outright.
constexpr HRESULT kInvalidCall = MakeHresult(0x887A0001u);
constexpr std::uint32_t kMaxArraySize = 16;

// Texture memory stands for video memory and is kept out of the process heap: blocks are mapped
// on their own and, once no texture holds them any more, kept by the device for the next texture
// of the same size. The pipeline builds new textures all the time (every encoder has its own)
// while the number of blocks it holds at once stays the same, so after the first few seconds
// no texture write faults in fresh pages. From the heap, those blocks would fragment it.
//
// Copies share blocks: a copy of a whole texture makes the destination hold the source's block,
// and whichever side is written next gets a block of its own (copy on write). A block is
// therefore never written while more than one texture (or a mapping handed out) holds it.
class MemoryPool;

// One mapped block of texture memory; unmapped when its last copy goes. Large blocks are
// shared-memory objects (`fd` >= 0), so that the X server can write a grab straight into a
// capture surface.
struct Block {
  std::shared_ptr<std::uint8_t> mapping;  // closes `fd` too
  std::uint8_t* bytes = nullptr;
  int fd = -1;
  std::uint64_t id = 0;  // never reused
};

struct TextureMemory {
  TextureMemory(Block b, std::size_t s, std::shared_ptr<MemoryPool> p)
      : block(std::move(b)), bytes(block.bytes), size(s), pool(std::move(p)) {}
  ~TextureMemory();
  TextureMemory(const TextureMemory&) = delete;
  TextureMemory& operator=(const TextureMemory&) = delete;

  const Block block;
  std::uint8_t* const bytes;
  const std::size_t size;
  // Names what the bytes hold: a new value from NextContent() with every write, carried along
  // by the textures that share the block. Equal names mean equal bytes.
  std::atomic<std::uint64_t> content{0};
  const std::shared_ptr<MemoryPool> pool;
};
using MemoryRef = std::shared_ptr<TextureMemory>;

std::uint64_t NextContent() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1);
}

// Readers that copy whole rows with vector loads may run a little past the last byte of the
// last row (libx264 reading a frame handed to it): every block has this much more.
constexpr std::size_t kBlockPadding = 64;

// Blocks from this size on (a 512x512 BGRA picture) are shareable memory objects; smaller ones
// are plain anonymous memory, so that many small textures cost no file descriptors.
constexpr std::size_t kShareableBlockSize = std::size_t{1} << 20;

Block MapBlock(std::size_t bytes) {
  static std::atomic<std::uint64_t> nextId{1};
  Block block;
  int fd = -1;
  void* p = MAP_FAILED;
  if (bytes >= kShareableBlockSize) {
    fd = memfd_create("tm-texture", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0)
      p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED && fd >= 0) {
      close(fd);
      fd = -1;
    }
  }
  if (p == MAP_FAILED)
    p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return block;
  block.mapping.reset(static_cast<std::uint8_t*>(p), [bytes, fd](std::uint8_t* mapped) {
    munmap(mapped, bytes);
    if (fd >= 0) close(fd);
  });
  block.bytes = block.mapping.get();
  block.fd = fd;
  block.id = nextId.fetch_add(1);
  return block;
}

// What the pool keeps for reuse: of a size in use, as many blocks as were in use at once lately
// (a new one is mapped only when none is spare), so it holds what the pipeline needs and no
// more; a spare block unused for kIdleBlockTime (after a burst of frames in flight) is unmapped.
// The spare blocks of a size no longer in use are unmapped once a block of another size has to
// be mapped (a captured window took a new size) or nothing is in use at all (the capture
// stopped). Not at once: between two segment encoders a size may be out of use for a moment.
class MemoryPool : public std::enable_shared_from_this<MemoryPool> {
 public:
  // A block of `size` bytes with undefined contents; null when no memory can be mapped.
  MemoryRef Take(std::size_t size) {
    Block block;
    std::vector<FreeBlock> unused;  // unmapped before the new block is mapped
    {
      std::lock_guard lock(mutex_);
      PerSize& entry = sizes_[size];
      if (!entry.spare.empty()) {
        block = std::move(entry.spare.back().block);
        entry.spare.pop_back();
      } else {
        for (auto other = sizes_.begin(); other != sizes_.end();) {
          if (other->first == size || other->second.inUse > 0) {
            ++other;
            continue;
          }
          std::move(other->second.spare.begin(), other->second.spare.end(),
                    std::back_inserter(unused));
          other = sizes_.erase(other);
        }
      }
      ++entry.inUse;
      ++inUse_;
    }
    unused.clear();
    if (block.bytes == nullptr) {
      block = MapBlock(size + kBlockPadding);
      if (block.bytes == nullptr) {
        Give({}, size);
        return nullptr;
      }
    }
    auto memory = std::make_shared<TextureMemory>(std::move(block), size, shared_from_this());
    memory->content.store(NextContent());
    return memory;
  }

  // Every block comes back here (an empty one from a failed Take).
  void Give(Block block, std::size_t size) {
    std::vector<FreeBlock> unused;  // unmapped after the lock is released
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    PerSize& entry = sizes_[size];
    if (block.bytes != nullptr) entry.spare.push_back({std::move(block), now});
    --entry.inUse;
    const bool stopped = --inUse_ == 0;
    for (auto other = sizes_.begin(); other != sizes_.end();) {
      // Taken from the back: the front ones have waited longest.
      std::vector<FreeBlock>& spare = other->second.spare;
      const auto recent = std::find_if(spare.begin(), spare.end(), [&](const FreeBlock& f) {
        return !stopped && now - f.since < kIdleBlockTime;
      });
      std::move(spare.begin(), recent, std::back_inserter(unused));
      spare.erase(spare.begin(), recent);
      other = other->second.inUse == 0 && spare.empty() ? sizes_.erase(other) : std::next(other);
    }
  }

  CpuDevice::MemoryHeld Held() {
    CpuDevice::MemoryHeld held;
    std::lock_guard lock(mutex_);
    for (const auto& [size, entry] : sizes_) {
      held.blocks += entry.inUse + entry.spare.size();
      held.bytes += (entry.inUse + entry.spare.size()) * (size + kBlockPadding);
    }
    return held;
  }

 private:
  // Longer than a segment's rotation, after which the blocks of the retired encoder are
  // taken again by the next one.
  static constexpr std::chrono::seconds kIdleBlockTime{5};
  struct FreeBlock {
    Block block;
    std::chrono::steady_clock::time_point since;  // given back then
  };
  struct PerSize {
    std::vector<FreeBlock> spare;  // the most recently given back last
    std::size_t inUse = 0;
  };
  std::mutex mutex_;  // guards sizes_ and inUse_
  std::map<std::size_t, PerSize> sizes_;
  std::size_t inUse_ = 0;  // blocks of every size
};

TextureMemory::~TextureMemory() {
  pool->Give(block, size);
}

// What every object of one device shares.
struct DeviceState {
  explicit DeviceState(std::shared_ptr<GpuFaults> f)
      : faults(std::move(f)), pool(std::make_shared<MemoryPool>()) {}
  HRESULT Check(GpuCall call) { return faults ? faults->Check(call) : S_OK; }
  bool Removed() const { return removedReason.load() != S_OK; }

  std::shared_ptr<GpuFaults> faults;
  std::atomic<HRESULT> removedReason{S_OK};  // written by MarkRemoved, from any thread
  const std::shared_ptr<MemoryPool> pool;    // thread-safe; blocks keep it alive
};

// The one lock of a shared texture that all its keyed-mutex views hand around.
struct KeyedLock {
  std::mutex mutex;  // guards the three fields below; taken on its own
  std::condition_variable released;
  bool held = false;
  std::uint64_t key = 0;         // the key of the last release (0 at creation)
  const void* holder = nullptr;  // the view that holds the lock
};

// What a blit last wrote into its output texture, so that the same conversion again can be
// skipped (a still picture is handed to the encoder at the full frame rate).
struct Conversion {
  const void* processor = nullptr;
  std::uint64_t source = 0;  // content of the input block
  std::uint64_t output = 0;  // content the output block got
  VideoColorSpace inSpace, outSpace;
};

bool SameSpace(const VideoColorSpace& a, const VideoColorSpace& b) {
  return a.usage == b.usage && a.rgbRange == b.rgbRange && a.ycbcrMatrix == b.ycbcrMatrix &&
         a.ycbcrXvYcc == b.ycbcrXvYcc && a.nominalRange == b.nominalRange;
}

class CpuTexture final : public GpuTexture, public std::enable_shared_from_this<CpuTexture> {
 public:
  CpuTexture(std::shared_ptr<DeviceState> ownerState, const TextureDesc& desc)
      : state(std::move(ownerState)),
        owner(state.get()),
        desc(desc),
        rowPitch((RowBytes(desc) + kRowAlignment - 1) / kRowAlignment * kRowAlignment),
        rows(desc.format == kFormatNv12 ? desc.height + desc.height / 2 : desc.height),
        keyedLock((desc.miscFlags & kResourceMiscSharedKeyedMutex) != 0
                      ? std::make_shared<KeyedLock>()
                      : nullptr) {}

  void GetDesc(TextureDesc& out) const override { out = desc; }
  HRESULT QueryKeyedMutex(std::shared_ptr<KeyedMutex>& out) override;

  static std::uint32_t RowBytes(const TextureDesc& d) {
    return d.format == kFormatNv12 ? d.width : d.width * 4;
  }
  // One array slice; the slices lie one after the other.
  std::size_t SliceSize() const { return std::size_t{rowPitch} * rows; }
  std::size_t Size() const { return SliceSize() * desc.arraySize; }

  // The block holding the texture's contents, for reading. A texture gets memory only once it
  // is used (a spare encoder's textures cost nothing until it encodes); one never written reads
  // as zeros. Null only when no memory can be mapped.
  MemoryRef Contents() {
    std::lock_guard lock(mutex);
    return ContentsLocked();
  }

  // A block that only this texture holds, to write into; it gets a new content name. With
  // `keep`, it holds the texture's contents (a write of part of it); else its contents are
  // undefined (a write of all of it). Null only when no memory can be mapped.
  MemoryRef Writable(bool keep) {
    std::lock_guard lock(mutex);
    return WritableLocked(keep);
  }

  // The texture now holds a copy of `source`'s bytes: the block is shared until either side is
  // written.
  void Share(MemoryRef source) {
    MemoryRef old;
    std::lock_guard lock(mutex);
    old = std::move(memory);
    memory = std::move(source);
  }

  // Copies CPU data laid out with `pitch` into the texture (both planes for NV12).
  void Upload(const std::uint8_t* data, std::uint32_t pitch) {
    const MemoryRef target = Writable(false);
    if (!target) return;
    const std::uint32_t rowBytes = RowBytes(desc);
    for (std::uint32_t r = 0; r < rows; ++r) {
      std::memcpy(target->bytes + std::size_t{r} * rowPitch, data + std::size_t{r} * pitch,
                  rowBytes);
    }
  }

  // Whether the texture still holds what `processor` wrote into it from the block content
  // `source` with these colour spaces.
  bool HoldsConversion(const void* processor, std::uint64_t source, const VideoColorSpace& in,
                       const VideoColorSpace& out) {
    std::lock_guard lock(mutex);
    return memory && conversion.output != 0 && memory->content.load() == conversion.output &&
           conversion.processor == processor && conversion.source == source &&
           SameSpace(conversion.inSpace, in) && SameSpace(conversion.outSpace, out);
  }
  void RememberConversion(const Conversion& c) {
    std::lock_guard lock(mutex);
    conversion = c;
  }

  // Needs `mutex`.
  MemoryRef ContentsLocked() {
    if (!memory) {
      memory = state->pool->Take(Size());
      if (memory) std::memset(memory->bytes, 0, Size());
    }
    return memory;
  }
  MemoryRef WritableLocked(bool keep) {
    if (!memory || memory.use_count() > 1) {
      // Shared (or none yet): this texture moves to a block of its own; the other holders keep
      // the old one as it is.
      MemoryRef own = state->pool->Take(Size());
      if (!own) return nullptr;
      if (keep) {
        if (memory) {
          std::memcpy(own->bytes, memory->bytes, Size());
        } else {
          std::memset(own->bytes, 0, Size());
        }
      }
      memory.swap(own);  // the old block goes with `own` (its release takes only the pool's lock)
    }
    memory->content.store(NextContent());
    return memory;
  }

  // Kept for the keyed-mutex views (their faults and removal); `owner` identifies the device.
  const std::shared_ptr<DeviceState> state;
  const DeviceState* const owner;
  const TextureDesc desc;
  const std::uint32_t rowPitch;
  const std::uint32_t rows;
  // Only for textures shared with a keyed mutex.
  const std::shared_ptr<KeyedLock> keyedLock;

  // Guards the fields below; taken after the context's locks, never together with another
  // texture's mutex (a block's release takes the pool's lock, which takes nothing else).
  std::mutex mutex;
  std::condition_variable idle;
  int pendingWrites = 0;  // queued commands that write the texture
  int pendingUses = 0;    // queued commands that read or write it
  bool mapped = false;
  bool mappedForWrite = false;
  MemoryRef memory;   // the contents; null until the texture is first used
  MemoryRef mapping;  // the block a CPU mapping points into, held until Unmap
  Conversion conversion;
};

// One view of a texture's keyed mutex; holding the lock belongs to the view.
class CpuKeyedMutex final : public KeyedMutex {
 public:
  CpuKeyedMutex(std::shared_ptr<CpuTexture> texture, std::shared_ptr<DeviceState> state)
      : texture_(std::move(texture)), state_(std::move(state)) {}

  HRESULT AcquireSync(std::uint64_t key, std::uint32_t milliseconds) override {
    if (state_->Removed()) return state_->removedReason.load();
    const HRESULT scripted = state_->Check(GpuCall::AcquireSync);
    if (FAILED(scripted)) return scripted;
    KeyedLock& lock = *texture_->keyedLock;
    std::unique_lock guard(lock.mutex);
    auto mine = [&] { return !lock.held && lock.key == key; };
    if (milliseconds == kInfinite) {
      lock.released.wait(guard, mine);
    } else if (!lock.released.wait_for(guard, std::chrono::milliseconds(milliseconds), mine)) {
      return kWaitTimeout;
    }
    lock.held = true;
    lock.holder = this;
    return S_OK;
  }

  HRESULT ReleaseSync(std::uint64_t key) override {
    KeyedLock& lock = *texture_->keyedLock;
    {
      std::lock_guard guard(lock.mutex);
      if (!lock.held || lock.holder != this) return E_FAIL;
    }
    // What this side issued on the texture is done before the other side gets it.
    {
      std::unique_lock guard(texture_->mutex);
      texture_->idle.wait(guard, [&] { return texture_->pendingUses == 0; });
    }
    {
      std::lock_guard guard(lock.mutex);
      lock.held = false;
      lock.holder = nullptr;
      lock.key = key;
    }
    lock.released.notify_all();
    return S_OK;
  }

 private:
  const std::shared_ptr<CpuTexture> texture_;  // a view keeps its texture alive
  const std::shared_ptr<DeviceState> state_;
};

HRESULT CpuTexture::QueryKeyedMutex(std::shared_ptr<KeyedMutex>& out) {
  out.reset();
  if (!keyedLock) return E_NOINTERFACE;
  out = std::make_shared<CpuKeyedMutex>(shared_from_this(), state);
  return S_OK;
}

CpuTexture* AsCpu(const TexturePtr& texture, const DeviceState* owner) {
  auto* t = dynamic_cast<CpuTexture*>(texture.get());
  return (t != nullptr && t->owner == owner) ? t : nullptr;
}

// ---- video objects -------------------------------------------------------------------------

class CpuEnumerator final : public VideoProcessorEnumerator {
 public:
  CpuEnumerator(std::shared_ptr<DeviceState> state, const VideoProcessorContentDesc& desc)
      : state_(std::move(state)), desc_(desc) {}
  void GetContentDesc(VideoProcessorContentDesc& out) const override { out = desc_; }
  HRESULT CheckVideoProcessorFormat(std::uint32_t format, std::uint32_t& flags) override {
    const HRESULT hr = state_->Check(GpuCall::CheckVideoProcessorFormat);
    if (FAILED(hr)) return hr;
    if (format == kFormatNv12) {
      flags = kVideoProcessorFormatSupportInput | kVideoProcessorFormatSupportOutput;
      std::uint32_t scripted = 0;
      if (state_->faults && state_->faults->Nv12SupportOverride(scripted)) flags = scripted;
    } else if (format == kFormatB8G8R8A8Unorm) {
      flags = kVideoProcessorFormatSupportInput;
    } else {
      flags = 0;
    }
    return S_OK;
  }
  const DeviceState* Owner() const { return state_.get(); }

 private:
  std::shared_ptr<DeviceState> state_;
  VideoProcessorContentDesc desc_;
};

class CpuProcessor final : public VideoProcessor {
 public:
  explicit CpuProcessor(const DeviceState* owner) : owner(owner) {
    // Direct3D's defaults: full-range RGB in, BT.601 YCbCr out.
    outputSpace.nominalRange = kNominalRange16_235;
  }
  const DeviceState* const owner;
  // Set and read under the immediate context's call lock; a blit takes a copy.
  VideoColorSpace streamSpace;
  VideoColorSpace outputSpace;
  // Used only by the queue's worker.
  VideoConverter converter;
};

class CpuInputView final : public VideoProcessorInputView {
 public:
  explicit CpuInputView(TexturePtr t) : texture(std::move(t)) {}
  const TexturePtr texture;
};

class CpuOutputView final : public VideoProcessorOutputView {
 public:
  explicit CpuOutputView(TexturePtr t) : texture(std::move(t)) {}
  const TexturePtr texture;
};

class CpuVideoDevice final : public VideoDevice {
 public:
  explicit CpuVideoDevice(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}

  HRESULT CreateVideoProcessorEnumerator(const VideoProcessorContentDesc& desc,
                                         std::shared_ptr<VideoProcessorEnumerator>& out) override {
    out.reset();
    if (state_->Removed()) return state_->removedReason.load();
    const HRESULT hr = state_->Check(GpuCall::CreateVideoProcessorEnumerator);
    if (FAILED(hr)) return hr;
    if (desc.inputWidth == 0 || desc.inputHeight == 0 || desc.outputWidth == 0 ||
        desc.outputHeight == 0 || desc.inputFrameFormat != kVideoFrameFormatProgressive) {
      return E_INVALIDARG;
    }
    out = std::make_shared<CpuEnumerator>(state_, desc);
    return S_OK;
  }

  HRESULT CreateVideoProcessor(const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                               std::uint32_t rateConversionIndex,
                               std::shared_ptr<VideoProcessor>& out) override {
    out.reset();
    if (state_->Removed()) return state_->removedReason.load();
    const HRESULT hr = state_->Check(GpuCall::CreateVideoProcessor);
    if (FAILED(hr)) return hr;
    auto* e = dynamic_cast<CpuEnumerator*>(enumerator.get());
    if (e == nullptr || e->Owner() != state_.get() || rateConversionIndex != 0) {
      return E_INVALIDARG;
    }
    out = std::make_shared<CpuProcessor>(state_.get());
    return S_OK;
  }

  HRESULT CreateVideoProcessorInputView(const TexturePtr& texture,
                                        const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                                        const VideoProcessorInputViewDesc& desc,
                                        std::shared_ptr<VideoProcessorInputView>& out) override {
    out.reset();
    if (state_->Removed()) return state_->removedReason.load();
    const HRESULT hr = state_->Check(GpuCall::CreateVideoProcessorInputView);
    if (FAILED(hr)) return hr;
    CpuTexture* t = AsCpu(texture, state_.get());
    if (t == nullptr || enumerator == nullptr || t->desc.format != kFormatB8G8R8A8Unorm ||
        t->desc.usage == Usage::Staging || desc.viewDimension != kVpivDimensionTexture2D ||
        desc.mipSlice != 0 || desc.arraySlice != 0) {
      return E_INVALIDARG;
    }
    out = std::make_shared<CpuInputView>(texture);
    return S_OK;
  }

  HRESULT CreateVideoProcessorOutputView(
      const TexturePtr& texture, const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
      const VideoProcessorOutputViewDesc& desc,
      std::shared_ptr<VideoProcessorOutputView>& out) override {
    out.reset();
    if (state_->Removed()) return state_->removedReason.load();
    const HRESULT hr = state_->Check(GpuCall::CreateVideoProcessorOutputView);
    if (FAILED(hr)) return hr;
    CpuTexture* t = AsCpu(texture, state_.get());
    if (t == nullptr || enumerator == nullptr || t->desc.format != kFormatNv12 ||
        (t->desc.bindFlags & kBindRenderTarget) == 0 ||
        desc.viewDimension != kVpovDimensionTexture2D || desc.mipSlice != 0) {
      return E_INVALIDARG;
    }
    out = std::make_shared<CpuOutputView>(texture);
    return S_OK;
  }

 private:
  std::shared_ptr<DeviceState> state_;
};

// ---- immediate context -----------------------------------------------------------------------

class CpuContext final : public GpuContext,
                         public VideoContext,
                         public std::enable_shared_from_this<CpuContext> {
 public:
  explicit CpuContext(std::shared_ptr<DeviceState> state)
      : state_(std::move(state)), worker_([this] { RunQueue(); }) {}

  ~CpuContext() override {
    {
      std::lock_guard lock(queueMutex_);
      stopping_ = true;
    }
    queueCv_.notify_all();
    worker_.join();
  }

  void CopyResource(const TexturePtr& destination, const TexturePtr& source) override {
    std::lock_guard call(callMutex_);
    if (state_->Removed()) return;
    CpuTexture* dst = AsCpu(destination, state_.get());
    CpuTexture* src = AsCpu(source, state_.get());
    if (dst == nullptr || src == nullptr || dst == src || dst->desc.usage == Usage::Immutable ||
        dst->desc.width != src->desc.width || dst->desc.height != src->desc.height ||
        dst->desc.format != src->desc.format || dst->desc.arraySize != src->desc.arraySize) {
      return;
    }
    // Same size and format: same layout, so the destination can take the source's block.
    Issue({{destination}, {source}, nullptr, [dst, src] {
             if (MemoryRef bytes = src->Contents()) dst->Share(std::move(bytes));
           }});
  }

  void CopySubresourceRegion(const TexturePtr& destination, std::uint32_t destinationSubresource,
                             std::uint32_t x, std::uint32_t y, std::uint32_t z,
                             const TexturePtr& source, std::uint32_t sourceSubresource,
                             const Box* sourceBox) override {
    std::lock_guard call(callMutex_);
    if (state_->Removed()) return;
    CpuTexture* dst = AsCpu(destination, state_.get());
    CpuTexture* src = AsCpu(source, state_.get());
    if (dst == nullptr || src == nullptr || dst->desc.usage == Usage::Immutable ||
        destinationSubresource >= dst->desc.arraySize || sourceSubresource >= src->desc.arraySize ||
        x != 0 || y != 0 || z != 0 || dst->desc.width != src->desc.width ||
        dst->desc.height != src->desc.height || dst->desc.format != src->desc.format ||
        (dst == src && destinationSubresource == sourceSubresource)) {
      return;
    }
    if (sourceBox != nullptr && (sourceBox->left != 0 || sourceBox->top != 0 ||
                                 sourceBox->front != 0 || sourceBox->right != src->desc.width ||
                                 sourceBox->bottom != src->desc.height || sourceBox->back != 1)) {
      return;
    }
    Issue({{destination}, {source}, nullptr, [dst, src, destinationSubresource, sourceSubresource] {
             const MemoryRef from = src->Contents();
             if (!from) return;
             if (dst->desc.arraySize == 1 && src->desc.arraySize == 1) {
               dst->Share(from);
               return;
             }
             // One slice of an array: the other slices stay, so the block is written in place.
             const MemoryRef to = dst->Writable(true);
             if (!to) return;
             std::memcpy(to->bytes + dst->SliceSize() * destinationSubresource,
                         from->bytes + src->SliceSize() * sourceSubresource, dst->SliceSize());
           }});
  }

  void UpdateSubresource(const TexturePtr& destination, std::uint32_t subresource, const void* data,
                         std::uint32_t rowPitch) override {
    std::lock_guard call(callMutex_);
    if (state_->Removed()) return;
    CpuTexture* dst = AsCpu(destination, state_.get());
    if (dst == nullptr || subresource != 0 || data == nullptr ||
        dst->desc.usage != Usage::Default || rowPitch < CpuTexture::RowBytes(dst->desc)) {
      return;
    }
    // The caller's memory is free again when the call returns: keep a copy for the queue.
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(
        static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) +
                                                    std::size_t{rowPitch} * (dst->rows - 1) +
                                                    CpuTexture::RowBytes(dst->desc));
    Issue({{destination}, {}, nullptr, [dst, bytes, rowPitch] {
             dst->Upload(bytes->data(), rowPitch);
           }});
  }

  HRESULT Map(const TexturePtr& texture, std::uint32_t subresource, std::uint32_t mapType,
              std::uint32_t mapFlags, MappedSubresource& out) override {
    std::lock_guard call(callMutex_);
    out = {};
    if (state_->Removed()) return DXGI_ERROR_DEVICE_REMOVED;
    const HRESULT scripted = state_->Check(GpuCall::Map);
    if (FAILED(scripted)) return scripted;
    CpuTexture* t = AsCpu(texture, state_.get());
    if (t == nullptr || subresource != 0) return E_INVALIDARG;
    // Staging textures map for reading and writing; dynamic ones only with a discard (they are
    // written whole by the CPU and read by the GPU), as on Direct3D.
    const bool discard = mapType == kMapWriteDiscard;
    if (t->desc.usage == Usage::Dynamic
            ? !discard
            : (t->desc.usage != Usage::Staging || mapType < kMapRead || mapType > kMapReadWrite)) {
      return E_INVALIDARG;
    }
    const bool reads = (mapType & kMapRead) != 0 && !discard;
    const bool writes = (mapType & kMapWrite) != 0 || discard;
    if ((reads && (t->desc.cpuAccessFlags & kCpuAccessRead) == 0) ||
        (writes && (t->desc.cpuAccessFlags & kCpuAccessWrite) == 0)) {
      return E_INVALIDARG;
    }
    std::unique_lock lock(t->mutex);
    if (t->mapped) return kInvalidCall;
    // Reading waits for the writers; writing for every queued use.
    auto busy = [&] { return writes ? t->pendingUses > 0 : t->pendingWrites > 0; };
    if ((mapFlags & kMapFlagDoNotWait) != 0) {
      if (state_->faults && state_->faults->TakeStillDrawing()) {
        return DXGI_ERROR_WAS_STILL_DRAWING;
      }
      if (busy()) return DXGI_ERROR_WAS_STILL_DRAWING;
    } else {
      t->idle.wait(lock, [&] { return !busy(); });
    }
    // A write goes to a block of the texture's own (a discard need not keep the contents); a
    // read maps the block as it is, and the mapping holds it: a write issued before the Unmap
    // then goes elsewhere.
    MemoryRef block = writes ? t->WritableLocked(!discard) : t->ContentsLocked();
    if (!block) return E_OUTOFMEMORY;
    t->mapped = true;
    t->mappedForWrite = writes;
    t->mapping = block;
    out.data = block->bytes;
    out.rowPitch = t->rowPitch;
    out.depthPitch = static_cast<std::uint32_t>(t->Size());
    // The bytes of a read stay as they are for as long as someone holds them, also after the
    // Unmap: every later write to the texture goes to another block.
    if (!writes) out.keepAlive = std::shared_ptr<const void>(block, block->bytes);
    if (writes && block->block.fd >= 0) {
      out.fd = block->block.fd;
      out.offset = 0;
      out.memoryId = block->block.id;
      out.memoryAlive = block->block.mapping;
    }
    return S_OK;
  }

  void Unmap(const TexturePtr& texture, std::uint32_t subresource) override {
    std::lock_guard call(callMutex_);
    CpuTexture* t = AsCpu(texture, state_.get());
    if (t == nullptr || subresource != 0) return;
    MemoryRef released;
    std::lock_guard lock(t->mutex);
    // What the CPU wrote is new content, whatever a command saw while it was mapped.
    if (t->mapped && t->mappedForWrite && t->mapping) t->mapping->content.store(NextContent());
    t->mapped = false;
    t->mappedForWrite = false;
    released = std::move(t->mapping);
  }

  void WaitIdle() override {
    std::unique_lock lock(queueMutex_);
    const std::uint64_t target = issued_;
    idleCv_.wait(lock, [&] { return completed_ >= target; });
  }

  HRESULT QueryVideoContext(std::shared_ptr<VideoContext>& out) override {
    out.reset();
    const HRESULT hr = state_->Check(GpuCall::QueryVideoContext);
    if (FAILED(hr)) return hr;
    out = std::shared_ptr<VideoContext>(shared_from_this(), static_cast<VideoContext*>(this));
    return S_OK;
  }

  void VideoProcessorSetStreamColorSpace(const std::shared_ptr<VideoProcessor>& processor,
                                         std::uint32_t streamIndex,
                                         const VideoColorSpace& colorSpace) override {
    std::lock_guard call(callMutex_);
    auto* p = dynamic_cast<CpuProcessor*>(processor.get());
    if (p == nullptr || p->owner != state_.get() || streamIndex != 0) return;
    p->streamSpace = colorSpace;
  }

  void VideoProcessorSetOutputColorSpace(const std::shared_ptr<VideoProcessor>& processor,
                                         const VideoColorSpace& colorSpace) override {
    std::lock_guard call(callMutex_);
    auto* p = dynamic_cast<CpuProcessor*>(processor.get());
    if (p == nullptr || p->owner != state_.get()) return;
    p->outputSpace = colorSpace;
  }

  HRESULT VideoProcessorBlt(const std::shared_ptr<VideoProcessor>& processor,
                            const std::shared_ptr<VideoProcessorOutputView>& view,
                            std::uint32_t outputFrame, std::uint32_t streamCount,
                            const VideoProcessorStream* streams) override {
    std::lock_guard call(callMutex_);
    if (state_->Removed()) return state_->removedReason.load();
    const HRESULT scripted = state_->Check(GpuCall::VideoProcessorBlt);
    if (FAILED(scripted)) return scripted;
    auto p = std::dynamic_pointer_cast<CpuProcessor>(processor);
    auto* outView = dynamic_cast<CpuOutputView*>(view.get());
    if (!p || p->owner != state_.get() || outView == nullptr || outputFrame != 0 ||
        streamCount != 1 || streams == nullptr) {
      return E_INVALIDARG;
    }
    auto* inView = dynamic_cast<CpuInputView*>(streams[0].inputSurface.get());
    if (inView == nullptr) return E_INVALIDARG;
    if (!streams[0].enable) return S_OK;  // nothing to draw
    CpuTexture* dst = AsCpu(outView->texture, state_.get());
    CpuTexture* src = AsCpu(inView->texture, state_.get());
    if (dst == nullptr || src == nullptr) return E_INVALIDARG;
    const VideoColorSpace inSpace = p->streamSpace;
    const VideoColorSpace outSpace = p->outputSpace;
    CpuProcessor* raw = p.get();
    Issue({{outView->texture}, {inView->texture}, p, [raw, dst, src, inSpace, outSpace] {
             const MemoryRef from = src->Contents();
             if (!from) return;
             // The output still holds this very conversion of these very bytes (the input was
             // not written since, nor the output): converting again would write the same bytes.
             const std::uint64_t source = from->content.load();
             if (dst->HoldsConversion(raw, source, inSpace, outSpace)) return;
             const MemoryRef to = dst->Writable(false);
             if (!to) return;
             const std::uint64_t output = to->content.load();
             if (raw->converter.Convert(
                     {from->bytes, src->desc.width, src->desc.height, src->rowPitch},
                     {to->bytes, dst->desc.width, dst->desc.height, dst->rowPitch}, inSpace,
                     outSpace)) {
               dst->RememberConversion({raw, source, output, inSpace, outSpace});
             }
           }});
    return S_OK;
  }

 private:
  struct Command {
    std::vector<TexturePtr> writes;
    std::vector<TexturePtr> reads;
    std::shared_ptr<void> keep;  // another object the command uses (a processor)
    std::function<void()> run;
  };

  // Counts the command against its textures, then queues it. Called under callMutex_. A full
  // queue makes the caller wait for the worker, as a full command buffer makes a GPU's submitter
  // wait: a queued copy may hold a whole captured frame, so producers that outrun the worker
  // must slow down rather than queue without end.
  void Issue(Command command) {
    {
      std::unique_lock lock(queueMutex_);
      idleCv_.wait(lock, [&] { return issued_ - completed_ < kMaxQueuedCommands; });
    }
    for (const TexturePtr& w : command.writes) {
      auto* t = static_cast<CpuTexture*>(w.get());
      std::lock_guard lock(t->mutex);
      ++t->pendingWrites;
      ++t->pendingUses;
    }
    for (const TexturePtr& r : command.reads) {
      auto* t = static_cast<CpuTexture*>(r.get());
      std::lock_guard lock(t->mutex);
      ++t->pendingUses;
    }
    {
      std::lock_guard lock(queueMutex_);
      queue_.push_back(std::move(command));
      ++issued_;
    }
    queueCv_.notify_one();
  }

  static void Finished(const TexturePtr& texture, bool wrote) {
    auto* t = static_cast<CpuTexture*>(texture.get());
    {
      std::lock_guard lock(t->mutex);
      if (wrote) --t->pendingWrites;
      --t->pendingUses;
    }
    t->idle.notify_all();
  }

  void RunQueue() {
    for (;;) {
      Command command;
      {
        std::unique_lock lock(queueMutex_);
        queueCv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and everything issued has run
        command = std::move(queue_.front());
        queue_.pop_front();
      }
      if (state_->faults) {
        const auto delay = state_->faults->CommandDelay();
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
      }
      command.run();
      for (const TexturePtr& w : command.writes) Finished(w, true);
      for (const TexturePtr& r : command.reads) Finished(r, false);
      command = {};  // drop the references before counting the command as done
      {
        std::lock_guard lock(queueMutex_);
        ++completed_;
      }
      idleCv_.notify_all();
    }
  }

  // Deep enough for the pipeline's frames in flight (a capture copy, a blit and a staging copy
  // per frame, four staging slots), shallow enough to bound the frames the queue holds.
  static constexpr std::uint64_t kMaxQueuedCommands = 16;

  std::shared_ptr<DeviceState> state_;
  // Serialises every call on the context, as Direct3D's multithread protection does; also
  // guards the colour spaces of the device's processors. Lock order: callMutex_, then
  // queueMutex_ or a texture's mutex (never both of those at once).
  std::mutex callMutex_;
  std::mutex queueMutex_;  // guards queue_, stopping_, issued_, completed_
  std::condition_variable queueCv_;
  std::condition_variable idleCv_;  // a command completed (WaitIdle, and Issue on a full queue)
  std::deque<Command> queue_;
  bool stopping_ = false;
  std::uint64_t issued_ = 0;
  std::uint64_t completed_ = 0;
  std::thread worker_;  // last: starts after every field above exists
};

class CpuDxgiDevice final : public DxgiDevice {
 public:
  HRESULT SetGPUThreadPriority(std::int32_t priority) override {
    if (priority < -7 || priority > 7) return E_INVALIDARG;
    priority_.store(priority);
    return S_OK;
  }
  HRESULT GetGPUThreadPriority(std::int32_t& priority) override {
    priority = priority_.load();
    return S_OK;
  }

 private:
  std::atomic<std::int32_t> priority_{0};  // written by SetGPUThreadPriority, any thread
};

class CpuDeviceImpl final : public CpuDevice {
 public:
  explicit CpuDeviceImpl(std::shared_ptr<GpuFaults> faults)
      : state_(std::make_shared<DeviceState>(std::move(faults))),
        context_(std::make_shared<CpuContext>(state_)),
        dxgi_(std::make_shared<CpuDxgiDevice>()) {}

  HRESULT CreateTexture2D(const TextureDesc& desc, const SubresourceData* initialData,
                          TexturePtr& out) override {
    out.reset();
    if (state_->Removed()) return state_->removedReason.load();
    const HRESULT scripted = state_->Check(GpuCall::CreateTexture2D);
    if (FAILED(scripted)) return scripted;
    if (desc.width == 0 || desc.height == 0 || desc.width > 16384 || desc.height > 16384 ||
        desc.mipLevels != 1 || desc.arraySize == 0 || desc.arraySize > kMaxArraySize ||
        desc.sampleCount != 1 || desc.sampleQuality != 0) {
      return E_INVALIDARG;
    }
    if (desc.arraySize > 1 && (desc.usage != Usage::Default || initialData != nullptr)) {
      return E_INVALIDARG;
    }
    if (desc.format != kFormatB8G8R8A8Unorm && desc.format != kFormatNv12) return E_INVALIDARG;
    // Direct3D refuses NV12 surfaces of odd size: the chroma plane is subsampled by two.
    if (desc.format == kFormatNv12 && (desc.width % 2 != 0 || desc.height % 2 != 0)) {
      return E_INVALIDARG;
    }
    const bool cpuAccess = desc.cpuAccessFlags != 0;
    if ((desc.usage == Usage::Staging) != (cpuAccess && desc.bindFlags == 0)) return E_INVALIDARG;
    if ((desc.usage == Usage::Immutable && initialData == nullptr)) return E_INVALIDARG;
    // Dynamic: written by the CPU only (with discarding maps), never a render target.
    if (desc.usage == Usage::Dynamic &&
        (desc.cpuAccessFlags != kCpuAccessWrite || (desc.bindFlags & kBindRenderTarget) != 0)) {
      return E_INVALIDARG;
    }
    auto texture = std::make_shared<CpuTexture>(state_, desc);
    if (initialData != nullptr) {
      if (initialData->data == nullptr || initialData->rowPitch < CpuTexture::RowBytes(desc)) {
        return E_INVALIDARG;
      }
      texture->Upload(static_cast<const std::uint8_t*>(initialData->data), initialData->rowPitch);
      if (!texture->Contents()) return E_OUTOFMEMORY;
    }
    out = std::move(texture);
    return S_OK;
  }

  std::shared_ptr<GpuContext> GetImmediateContext() override { return context_; }

  HRESULT GetDeviceRemovedReason() override { return state_->removedReason.load(); }

  HRESULT QueryVideoDevice(std::shared_ptr<VideoDevice>& out) override {
    out.reset();
    const HRESULT hr = state_->Check(GpuCall::QueryVideoDevice);
    if (FAILED(hr)) return hr;
    out = std::make_shared<CpuVideoDevice>(state_);
    return S_OK;
  }

  HRESULT QueryDxgiDevice(std::shared_ptr<DxgiDevice>& out) override {
    out.reset();
    const HRESULT hr = state_->Check(GpuCall::QueryDxgiDevice);
    if (FAILED(hr)) return hr;
    out = dxgi_;
    return S_OK;
  }

  void MarkRemoved(HRESULT reason) override {
    HRESULT expected = S_OK;
    state_->removedReason.compare_exchange_strong(expected, reason);
  }

  MemoryHeld HeldMemory() override { return state_->pool->Held(); }

 private:
  std::shared_ptr<DeviceState> state_;
  std::shared_ptr<CpuContext> context_;
  std::shared_ptr<CpuDxgiDevice> dxgi_;
};

}  // namespace

std::shared_ptr<CpuDevice> CpuDevice::Create(std::shared_ptr<GpuFaults> faults) {
  return std::make_shared<CpuDeviceImpl>(std::move(faults));
}

}  // namespace tallowmarch::platform
