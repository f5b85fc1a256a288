// Test helper: a named shared-memory object made by the test itself, with the documented layout
// (or a deliberately broken one), removed again when the helper goes out of scope; and the
// engine's side of it, for tests that play the engine.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/little_endian.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_manager.hpp"
#include "shm/tensor_block.hpp"

namespace zelto::shm::testing {

inline std::string unique_name(const std::string& stem) {
    static std::atomic<int> counter{0};
    return "/zt-" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

// An object holding exactly `bytes`.
class ShmObject {
  public:
    ShmObject(std::string name, const std::vector<std::uint8_t>& bytes) : name_(std::move(name)) {
        const int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return;
        if (::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && !bytes.empty()) {
            void* map = ::mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) {
                std::memcpy(map, bytes.data(), bytes.size());
                ::munmap(map, bytes.size());
            }
        }
        ::close(fd);
    }
    ~ShmObject() { ::shm_unlink(name_.c_str()); }
    ShmObject(const ShmObject&) = delete;
    ShmObject& operator=(const ShmObject&) = delete;
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

struct Layout {
    std::uint32_t magic = ShmRegionHeader::kMagic;
    std::uint32_t version = ShmRegionHeader::kVersion;
    std::uint64_t request_ring_offset = 4096;
    std::uint64_t response_ring_offset = 4096 + RequestRing::kSpan;
    std::uint64_t pool_offset = 4096 + RequestRing::kSpan + ResponseRing::kSpan;
    std::uint64_t pool_size = 1 << 20;
    std::int32_t notify_fd = -1;
    std::uint64_t size = 4096 + RequestRing::kSpan + ResponseRing::kSpan + (1 << 20);

    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> region(size, 0);
        std::uint8_t header[ShmRegionHeader::kSize] = {};
        store_le(header + 0, magic);
        store_le(header + 4, version);
        store_le(header + 8, request_ring_offset);
        store_le(header + 16, response_ring_offset);
        store_le(header + 24, pool_offset);
        store_le(header + 32, pool_size);
        store_le(header + 40, notify_fd);
        std::memcpy(region.data(), header, std::min<std::size_t>(size, sizeof header));
        return region;
    }
};

// The engine's own view of the region: a second mapping of the object, so what the test reads
// is what another process would see.
class EngineMapping {
  public:
    EngineMapping(const std::string& name, const Layout& layout) : layout_(layout) {
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0);
        if (fd < 0) return;
        void* map = ::mmap(nullptr, layout.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (map != MAP_FAILED) base_ = static_cast<std::uint8_t*>(map);
    }
    ~EngineMapping() {
        if (base_ != nullptr) ::munmap(base_, layout_.size);
    }
    EngineMapping(const EngineMapping&) = delete;
    EngineMapping& operator=(const EngineMapping&) = delete;

    bool mapped() const { return base_ != nullptr; }
    std::uint8_t* at(std::uint64_t offset) const { return base_ + offset; }
    std::uint64_t size() const { return layout_.size; }

    std::optional<ShmRequestEntry> pop_request() const {
        auto popped = RequestRing(at(layout_.request_ring_offset)).pop();
        return popped ? *popped : std::nullopt;
    }
    bool publish(const ShmResponseEntry& entry) const {
        return static_cast<bool>(ResponseRing(at(layout_.response_ring_offset)).push(entry));
    }
    bool response_waiting() const {
        return ResponseRing(at(layout_.response_ring_offset)).holds_published_entry();
    }

    // A result block at `offset`: a one-dimensional header (dtype code 0) and `data`.
    void write_block(std::uint64_t offset, const std::vector<std::uint8_t>& data) const {
        std::memset(at(offset), 0, ShmTensorBlock::kHeaderSize);
        store_le<std::uint32_t>(at(offset), 1);
        store_le<std::int64_t>(at(offset + ShmTensorBlock::kDimsOffset),
                               static_cast<std::int64_t>(data.size()));
        store_le<std::uint64_t>(at(offset + ShmTensorBlock::kDataLenOffset), data.size());
        if (!data.empty()) {
            std::memcpy(at(offset + ShmTensorBlock::kHeaderSize), data.data(), data.size());
        }
    }
    // An error text at `offset`: u64 length, then the bytes.
    void write_text(std::uint64_t offset, const std::string& text) const {
        store_le<std::uint64_t>(at(offset), text.size());
        std::memcpy(at(offset + 8), text.data(), text.size());
    }

  private:
    Layout layout_;
    std::uint8_t* base_ = nullptr;
};

}  // namespace zelto::shm::testing
