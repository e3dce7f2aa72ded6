// The screen log's rows for a view: "Key nr.", "Event", "Time"; highlighted lines in red.
#pragma once

#include "events/screen_log.h"

#include <QAbstractTableModel>

class ScreenLogModel final : public QAbstractTableModel, public ScreenLogObserver {
    Q_OBJECT
  public:
    explicit ScreenLogModel(ScreenLog& log, QObject* parent = nullptr);
    ~ScreenLogModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void log_rows_inserted(int first, int last) override;
    void log_rows_removed(int first, int last) override;
    void log_rows_reset() override;

  private:
    ScreenLog& log_;
    // The store changes first and tells afterwards; the view sees this count, which moves
    // between the begin and end calls as the model rules want.
    int rows_ = 0;
};
