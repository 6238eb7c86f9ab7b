#include "ReplacementRun.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>
#include <mutex>
#include <thread>

namespace {

// Quick replacements end before a window would be read.
constexpr int ShowAfterMs = 500;
constexpr int RefreshMs = 100;
// How long the server may take to answer a cancel before the connection is dropped.
constexpr int AbortAfterMs = 3000;

// The wait that can last is the one for another user's lock: say so.
QString StepText(core::Phase phase) {
    const QString text = core::PhaseText(phase);
    return phase == core::Phase::WaitingForDatabase
               ? text + QStringLiteral(" (another user may hold the layout)")
               : text;
}

// The latest step the working thread reported, for the window to pick up.
class LatestProgress {
public:
    void set(const core::Progress& progress) {
        const std::lock_guard lock(mutex_);
        progress_ = progress;
    }
    core::Progress get() const {
        const std::lock_guard lock(mutex_);
        return progress_;
    }

private:
    mutable std::mutex mutex_;
    core::Progress progress_{core::Phase::ReadingStored};
};

// Drops keyboard and mouse input meant for anything but the progress window while it lives.
class InputHold : public QObject {
public:
    explicit InputHold(QWidget* allowed) : allowed_(allowed) { qApp->installEventFilter(this); }
    ~InputHold() override { qApp->removeEventFilter(this); }

    bool eventFilter(QObject* receiver, QEvent* event) override {
        if (!IsInput(event->type()))
            return false;
        // Input reaches a widget's window first, then the widget.
        if (const auto window = qobject_cast<QWindow*>(receiver))
            return window != allowed_->windowHandle();
        const auto widget = qobject_cast<QWidget*>(receiver);
        return !(widget && (widget == allowed_ || allowed_->isAncestorOf(widget)));
    }

private:
    static bool IsInput(QEvent::Type type) {
        switch (type) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
            return true;
        default:
            return false;
        }
    }

    QWidget* allowed_;
};

QString MiB(qint64 bytes) {
    return QString::number(bytes / 1048576.0, 'f', 1);
}

} // namespace

ReplacementRun::ReplacementRun(core::Replacer& replacer, const QString& reportId, QWidget* owner)
    : QDialog(owner), replacer_(replacer), reportId_(reportId), step_(new QLabel(this)),
      bar_(new QProgressBar(this)), cancel_(new QPushButton(QStringLiteral("Cancel"), this)) {
    setObjectName(QStringLiteral("ReplacementRun"));
    setWindowTitle(QStringLiteral("Replacing ") + reportId);
    setWindowModality(Qt::ApplicationModal);
    step_->setTextFormat(Qt::PlainText);
    step_->setMinimumWidth(420);
    auto buttons = new QDialogButtonBox(this);
    buttons->addButton(cancel_, QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &ReplacementRun::reject);
    abort_.setSingleShot(true);
    abort_.setInterval(AbortAfterMs);
    connect(&abort_, &QTimer::timeout, this, [this] { replacer_.Abort(); });
    auto layout = new QVBoxLayout(this);
    layout->addWidget(step_);
    layout->addWidget(bar_);
    layout->addWidget(buttons);
}

core::Outcome ReplacementRun::Run(const QString& templatePath) {
    LatestProgress latest;
    replacer_.OnProgress = [&](const core::Progress& progress) {
        latest.set(progress);
    };
    QEventLoop loop;
    core::Outcome outcome;
    std::thread worker([&] {
        outcome = replacer_.Replace(reportId_, templatePath);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    {
        const InputHold hold(this);
        QTimer appear;
        appear.setSingleShot(true);
        connect(&appear, &QTimer::timeout, this, [this] { open(); });
        appear.start(ShowAfterMs);
        QTimer refresh;
        connect(&refresh, &QTimer::timeout, this, [&] { showProgress(latest.get()); });
        refresh.start(RefreshMs);
        loop.exec();
    }
    worker.join();
    abort_.stop();
    replacer_.OnProgress = nullptr;
    hide();
    return outcome;
}

void ReplacementRun::Cancel() {
    if (cancelled_)
        return;
    cancelled_ = true;
    cancel_->setEnabled(false);
    step_->setText(QStringLiteral("Cancelling..."));
    replacer_.Cancel();
    abort_.start();
}

void ReplacementRun::reject() {
    Cancel();
}

void ReplacementRun::closeEvent(QCloseEvent* event) {
    Cancel();
    if (event->spontaneous())
        event->ignore();
    else
        event->accept();
}

void ReplacementRun::showProgress(const core::Progress& progress) {
    if (cancelled_)
        return;
    step_->setText(StepText(progress.phase));
    // A wait of unknown length shows as a busy bar.
    const bool counted = progress.total > 0 && progress.phase != core::Phase::WaitingForDatabase;
    bar_->setRange(0, counted ? 1000 : 0);
    bar_->setValue(counted ? static_cast<int>(progress.done * 1000 / progress.total) : 0);
    bar_->setFormat(
        counted ? QStringLiteral("%1 of %2 MiB").arg(MiB(progress.done)).arg(MiB(progress.total))
                : QString());
}
