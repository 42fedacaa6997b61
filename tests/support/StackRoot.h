#pragma once

#include "TestSupport.h"
#include "model/PanelRoot.h"
#include "stack/RuntimeLayout.h"

#include <QString>
#include <memory>

namespace tavex::test {

// A panel root of the test's own: valid, with a site folder, installed at <app>/Tavex-panel
// beside the program location <app>/tavex/bin/tavex-panel, and a desktop that records what the
// panel asks of it. Stand-in programs are added where a test needs them.
class StackRoot
{
public:
    explicit StackRoot(const QString &app);

    QString app;
    QString root;
    RuntimeLayout layout;
    std::shared_ptr<RecordingDesktop> desktop = std::make_shared<RecordingDesktop>();

    // Resolves to this root (its installed place beside the program).
    PanelRootResolver resolver() const;
    // The folders that start-all makes, and a system database so that nothing is initialised.
    void makeFolders(bool initialised = true) const;
    // Debian's PHP under the runtime's name, as the demo runtime does it; `first` runs before.
    void installPhp(const QString &version = QStringLiteral("PHP8.2"),
                    const QByteArray &first = {}) const;
    // A PHP built for another processor.
    void installForeignPhp(const QString &version = QStringLiteral("PHP8.5")) const;
    // Database programs that do nothing (mysqladmin too), or that note in `record` that they ran
    // (and when the initialiser ended), so a test sees whether and in which order the panel started
    // them.
    void installDatabase(const QString &record = {}) const;
};

} // namespace tavex::test
