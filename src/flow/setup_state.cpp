// What a window reads of the flow: its state, at any time.
#include "flow/setup_flow.h"
#include "l10n/localization.h"

using namespace Qt::StringLiterals;

SetupFlow::Phase SetupFlow::phase() const
{
    return m_phase;
}

bool SetupFlow::busy() const
{
    return m_phase != Phase::Ready && m_phase != Phase::Failed;
}

const UIStrings &SetupFlow::L() const
{
    return Localization::all().at(m_langIndex);
}

qint64 SetupFlow::langIndex() const
{
    return m_langIndex;
}

QString SetupFlow::defaultFolder() const
{
    return Paths::defaultInstallFolder();
}

double SetupFlow::progressValue() const
{
    return m_progress;
}

bool SetupFlow::progressIndeterminate() const
{
    return m_indeterminate;
}

QString SetupFlow::installStatus() const
{
    const QString &status = L().*m_status;
    return m_pct.isEmpty() ? status : status + u"  "_s + m_pct;
}

std::optional<SetupFlow::FailureKind> SetupFlow::failureKind() const
{
    return m_failureKind;
}

QString SetupFlow::failureDetail() const
{
    return m_failureDetail;
}

bool SetupFlow::hasFailed() const
{
    return m_hasFailed;
}

bool SetupFlow::closing() const
{
    return m_closing;
}

std::optional<QString> SetupFlow::installedApp() const
{
    return m_installedApp;
}
