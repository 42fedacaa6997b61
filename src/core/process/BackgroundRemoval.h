#pragma once

#include <QString>
#include <QStringList>
#include <future>
#include <vector>

namespace tavex {

// Takes folders out of the way at once and removes them while the caller goes on: a rename to a
// hidden sibling name, then removeTree on another thread. Freeing a large tree costs seconds on a
// disk; done beside the caller's own work it mostly costs nothing. The destructor waits until
// every removal has finished. Leftovers of a run that was killed carry the same hidden names and
// are removed by the next run.
class BackgroundRemoval
{
public:
    BackgroundRemoval() = default;
    ~BackgroundRemoval();
    BackgroundRemoval(const BackgroundRemoval &) = delete;
    BackgroundRemoval &operator=(const BackgroundRemoval &) = delete;

    // Moves the path aside and removes it in the background. When it cannot be moved aside, it is
    // removed here and now. Empty when the path is gone (or going), else why not.
    QString discard(const QString &path);

    // Removes, in the background, what an earlier run left aside beside the path.
    void discardLeftovers(const QString &path);

    // Waits for the removals; the first error, if any.
    QString finish();

private:
    std::vector<std::future<QString>> m_removals;
};

} // namespace tavex
