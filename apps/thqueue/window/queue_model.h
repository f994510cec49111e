// The message list's rows: a table model that grows while the listing thread streams rows in,
// batch by batch, and that the window sorts through a proxy. Text only; the logic lives in
// queues/.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "queues/queue_listing.h"

namespace tarnhold {

class QueueModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kDate, kNumber, kTo, kFrom, kSubject, kMessageId, kColumns };

  using QAbstractTableModel::QAbstractTableModel;

  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;

  void Append(std::vector<queues::QueueRow>&& rows);
  void Clear();
  [[nodiscard]] const queues::QueueRow& Row(int row) const {
    return rows_[static_cast<std::size_t>(row)];
  }

 private:
  std::vector<queues::QueueRow> rows_;
};

}  // namespace tarnhold
