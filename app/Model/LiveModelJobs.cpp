#include "app/Model/LiveModel.h"

#include <cmath>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <fmt/format.h>

#include "platform/sys/CancellationError.h"

namespace veltovoice {

std::string LiveModel::progressText(const std::string& phase, double fraction) {
  const double percent = std::isfinite(fraction) ? std::trunc(fraction * 100) : 0;
  return fmt::format("{} {}%", phase, static_cast<long long>(percent));
}

QCoro::Task<> LiveModel::runJob(ConversationJobs& table, QUuid id, std::uint64_t run,
                                QCoro::Task<> job, JobFailure onFailure) {
  QPointer<LiveModel> self(this);
  try {
    co_await std::move(job);
  } catch (const platform::CancellationError&) {
  } catch (const std::exception& error) {
    if (self) onFailure(error);
  }
  if (!self) co_return;
  table.finish(id, run);
  self->setJob(id, std::nullopt);
}

std::function<void(double)> LiveModel::jobProgress(const QUuid& id, const std::string& phase) {
  QPointer<LiveModel> self(this);
  return [self, id, phase](double fraction) {
    // Runs on the GUI thread whichever thread reports; the pointer is read only there.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, id, text = progressText(phase, fraction)] {
          // A report arriving after the job ended must not bring its text back.
          if (self && self->jobs().count(id)) self->setJob(id, text);
        },
        Qt::QueuedConnection);
  };
}

}  // namespace veltovoice
