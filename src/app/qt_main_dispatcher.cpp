#include "app/qt_main_dispatcher.hpp"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

namespace skylark {

QtMainDispatcher::QtMainDispatcher() : receiver_(std::make_unique<QObject>()) {}

QtMainDispatcher::~QtMainDispatcher() {
    close();
}

void QtMainDispatcher::post(std::function<void()> work) {
    std::lock_guard guard(lock_);
    if (receiver_ == nullptr) {
        return;
    }
    // Posting takes only Qt's own queue lock and never runs the work here.
    QMetaObject::invokeMethod(receiver_.get(), std::move(work), Qt::QueuedConnection);
}

void QtMainDispatcher::close() {
    std::unique_ptr<QObject> receiver;
    {
        std::lock_guard guard(lock_);
        receiver = std::move(receiver_);
    }
    // The last owner may let go on a worker thread; a QObject must die on its own thread.
    if (receiver != nullptr && QThread::currentThread() != receiver->thread()) {
        receiver.release()->deleteLater();
    }
}

}  // namespace skylark
