#include "platform/portal/portal_content_picker.hpp"

#include "platform/capture/picker_observers.hpp"
#include "platform/portal/portal_presentation.hpp"
#include "platform/portal/portal_probe.hpp"

namespace skylark {
namespace {

using portal::Cancelled;
using portal::DeleteLater;
using portal::kApplicationModes;
using portal::Outcome;

class Picker final : public ContentPicker, public std::enable_shared_from_this<Picker> {
  public:
    explicit Picker(PortalPickerOptions options) : options_(std::move(options)) {}

    ~Picker() override { presentation_.reset(); }

    void present(const ContentPickerConfiguration& configuration,
                 std::weak_ptr<ContentPickerObserver> observer) override {
        observer_.set(std::move(observer));
        if (presentation_) {
            // The desktop's dialog is already up; it cannot be raised from here.
            return;
        }
        const std::uint32_t modes = configuration.allowedPickerModes;
        if ((modes & (PickerMode::singleDisplay | kApplicationModes)) == 0) {
            failLater(kPortalBadRequest,
                      QStringLiteral("the content picker was asked to offer nothing."));
            return;
        }
        std::weak_ptr<Picker> weak = weak_from_this();
        presentation_ =
            portal::presentScreenCast(portal::connectToPortalBus(options_.busAddress), modes,
                                      restoreToken_, [weak](Outcome outcome, QString token) {
                                          if (auto self = weak.lock()) {
                                              self->decided(std::move(outcome), std::move(token));
                                          }
                                      });
    }

  private:
    // From the event loop, never inside a picker call.
    void decided(Outcome outcome, QString token) {
        if (!token.isEmpty()) {
            restoreToken_ = std::move(token);
        }
        presentation_.reset();
        const std::shared_ptr<ContentPickerObserver> observer = observer_.take();
        if (!observer) {
            return;
        }
        if (auto* filter = std::get_if<std::shared_ptr<const ContentFilter>>(&outcome)) {
            observer->pickerDidChoose(*this, *filter);
        } else if (std::holds_alternative<Cancelled>(outcome)) {
            observer->pickerDidCancel(*this);
        } else {
            observer->pickerDidFail(std::get<Error>(outcome));
        }
    }

    void failLater(PortalErrorCode code, const QString& reason) {
        observer_.failLater(weak_from_this(), portal::unavailable(code, reason));
    }

    const PortalPickerOptions options_;
    QString restoreToken_;
    std::unique_ptr<QObject, DeleteLater> presentation_;
    PickerObserverSlot observer_;
};

}  // namespace

std::shared_ptr<ContentPicker> makePortalContentPicker(PortalPickerOptions options) {
    return std::make_shared<Picker>(std::move(options));
}

}  // namespace skylark
