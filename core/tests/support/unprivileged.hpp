#pragma once
// Permission tests mean nothing to root, who may open any file. This drops
// the calling thread's file-system identity to an ordinary user for a scope.

namespace kestrune::test {

class Unprivileged {
public:
    Unprivileged();
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;
    ~Unprivileged();

    // False when file permissions would still not be enforced (for example a
    // root without the right to change identity); such tests are skipped.
    [[nodiscard]] bool enforced() const { return enforced_; }

private:
    bool dropped_ = false;
    bool enforced_ = false;
};

// The user id that Unprivileged switches to, for giving it files to own.
[[nodiscard]] unsigned unprivileged_uid();

}  // namespace kestrune::test
