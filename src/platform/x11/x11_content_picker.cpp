#include "platform/x11/x11_content_picker.hpp"

#include <QObject>

#include <vector>

#include "platform/capture/picker_observers.hpp"
#include "platform/x11/picker_dialog.hpp"

namespace skylark {
namespace {

constexpr std::uint32_t kApplicationModes = PickerMode::singleWindow | PickerMode::multipleWindows |
                                            PickerMode::singleApplication |
                                            PickerMode::multipleApplications;

QString displayLabel(const x11::Monitor& m) {
    QString label = QObject::tr("Display \u201c%1\u201d \u2014 %2 \u00d7 %3")
                        .arg(QString::fromStdString(m.name))
                        .arg(m.rect.width)
                        .arg(m.rect.height);
    if (m.primary) {
        label += QObject::tr(" (primary)");
    }
    return label;
}

QString applicationLabel(const x11::AppWindow& w) {
    QString name = QString::fromStdString(w.className);
    QString title = QString::fromStdString(w.title);
    if (name.isEmpty()) {
        name = QObject::tr("Window 0x%1").arg(w.id, 0, 16);
    }
    if (title.size() > 80) {
        title = title.left(79) + QChar(0x2026);
    }
    return title.isEmpty() || title == name ? name : name + QStringLiteral(" \u2014 ") + title;
}

// Deleted from the event loop: the dialog may be the one reporting its outcome right now.
struct DeleteLater {
    void operator()(PickerDialog* d) const { d->deleteLater(); }
};
using DialogPtr = std::unique_ptr<PickerDialog, DeleteLater>;

class Picker final : public X11ContentPicker, public std::enable_shared_from_this<Picker> {
  public:
    explicit Picker(std::string displayName) : displayName_(std::move(displayName)) {}

    void present(const ContentPickerConfiguration& configuration,
                 std::weak_ptr<ContentPickerObserver> observer) override {
        observer_.set(std::move(observer));
        if (dialog_) {
            dialog_->show();
            dialog_->raise();
            dialog_->activateWindow();
            return;
        }
        const bool displays = (configuration.allowedPickerModes & PickerMode::singleDisplay) != 0;
        const bool applications = (configuration.allowedPickerModes & kApplicationModes) != 0;
        if (!displays && !applications) {
            fail(kX11BadRequest,
                 "The content picker was asked to offer nothing that can be shared.");
            return;
        }
        std::string error;
        std::unique_ptr<x11::Connection> conn = x11::Connection::open(displayName_, error);
        if (!conn) {
            fail(kX11CannotCapture, error);
            return;
        }
        std::weak_ptr<Picker> weak = weak_from_this();
        DialogPtr dialog(new PickerDialog([weak](std::shared_ptr<const X11ContentFilter> chosen) {
            if (auto self = weak.lock()) {
                self->decided(std::move(chosen));
            }
        }));
        std::vector<PickerDialog::Entry> displayEntries;
        if (displays) {
            for (x11::Monitor& m : x11::listMonitors(*conn)) {
                QString label = displayLabel(m);
                displayEntries.push_back(
                    {label, X11ContentFilter::forDisplay(displayName_, std::move(m))});
            }
        }
        std::vector<PickerDialog::Entry> applicationEntries;
        if (applications) {
            // The dialog's own window is no application to share.
            const auto own = static_cast<xcb_window_t>(dialog->winId());
            for (x11::AppWindow& w : x11::listApplicationWindows(*conn, own)) {
                QString label = applicationLabel(w);
                applicationEntries.push_back(
                    {label, X11ContentFilter::forApplication(displayName_, std::move(w))});
            }
        }
        if (displayEntries.empty() && applicationEntries.empty()) {
            fail(kX11NothingToShare,
                 "There is nothing to share: no display and no application "
                 "window was found.");
            return;
        }
        dialog->setEntries(displayEntries, applicationEntries, applications);
        dialog_ = std::move(dialog);
        dialog_->show();
        dialog_->raise();
        dialog_->activateWindow();
    }

    QDialog* dialog() const override { return dialog_.get(); }

  private:
    // On the Qt thread, from the dialog's event handling: never inside a picker call.
    void decided(std::shared_ptr<const X11ContentFilter> chosen) {
        dialog_.reset();
        if (auto observer = observer_.take(); observer && chosen) {
            observer->pickerDidChoose(*this, std::move(chosen));
        } else if (observer) {
            observer->pickerDidCancel(*this);
        }
    }

    // Reported from the event loop, as every outcome is, never from inside present().
    void fail(X11ErrorCode code, std::string text) {
        observer_.failLater(weak_from_this(), Error{kX11ErrorDomain, code, std::move(text)});
    }

    const std::string displayName_;
    DialogPtr dialog_;
    PickerObserverSlot observer_;
};

}  // namespace

std::shared_ptr<X11ContentPicker> makeX11ContentPicker(std::string displayName) {
    return std::make_shared<Picker>(std::move(displayName));
}

}  // namespace skylark
