#include "apps/thqueue/window/queue_model.h"

namespace tarnhold {

int QueueModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int QueueModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant QueueModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
  const queues::QueueRow& r = Row(index.row());
  const std::string* text = nullptr;
  switch (index.column()) {
    case kDate:
      text = &r.date;
      break;
    case kNumber:
      text = &r.number;
      break;
    case kTo:
      text = &r.to;
      break;
    case kFrom:
      text = &r.from;
      break;
    case kSubject:
      text = &r.subject;
      break;
    case kMessageId:
      text = &r.message_id;
      break;
    default:
      return {};
  }
  return QString::fromStdString(*text);
}

QVariant QueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[kColumns] = {"Date", "No.",     "To",
                                                "From", "Subject", "Message ID"};
  return section >= 0 && section < kColumns ? QString(kTitles[section]) : QVariant();
}

void QueueModel::Append(std::vector<queues::QueueRow>&& rows) {
  if (rows.empty()) return;
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  for (auto& r : rows) rows_.push_back(std::move(r));
  endInsertRows();
}

void QueueModel::Clear() {
  beginResetModel();
  rows_.clear();
  rows_.shrink_to_fit();
  endResetModel();
}

}  // namespace tarnhold
