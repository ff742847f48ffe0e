#include "support/faulty_file.hpp"

#include <algorithm>

namespace kestrune::test {
namespace {

struct Budget {
    FaultPlan plan;
    std::uint64_t written = 0;
};

class FaultyFile final : public File {
public:
    FaultyFile(FilePtr inner, std::shared_ptr<Budget> budget)
        : inner_(std::move(inner)), budget_(std::move(budget)) {}

    Result<std::size_t> write_some(std::span<const std::byte> data) override {
        const std::uint64_t left = budget_->plan.fail_after_bytes > budget_->written
                                       ? budget_->plan.fail_after_bytes - budget_->written
                                       : 0;
        if (left == 0) return fail(ErrorKind::Other, "injected write failure");
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({data.size(), left, budget_->plan.max_chunk}));
        Result<std::size_t> r = inner_->write_some(data.first(n));
        if (r) budget_->written += *r;
        return r;
    }
    Result<std::size_t> read_some(std::span<std::byte> out) override {
        return inner_->read_some(out);
    }
    Result<void> seek(std::uint64_t offset) override { return inner_->seek(offset); }
    Result<std::uint64_t> length() override { return inner_->length(); }
    Result<void> sync() override { return inner_->sync(); }
    Result<void> close() override { return inner_->close(); }

private:
    FilePtr inner_;
    std::shared_ptr<Budget> budget_;
};

}  // namespace

FilePtr make_faulty_file(FilePtr inner, FaultPlan plan) {
    return std::make_unique<FaultyFile>(std::move(inner), std::make_shared<Budget>(Budget{plan}));
}

FileOpener faulty_opener(FaultPlan plan) {
    auto budget = std::make_shared<Budget>(Budget{plan});
    return [budget](const std::filesystem::path& path) -> Result<FilePtr> {
        Result<FilePtr> inner = open_file(path, OpenMode::CreateTruncate);
        if (!inner) return inner;
        return FilePtr(std::make_unique<FaultyFile>(std::move(*inner), budget));
    };
}

}  // namespace kestrune::test
