#pragma once

// The benchmark's one table: medians and worsts of every figure beside the
// reference measured in the same run, and whether each target was met. The
// parts of the benchmark fill its rows; kavo-bench prints it once at the end.

#include <limits>
#include <optional>
#include <QString>
#include <vector>

namespace kavo::bench {

struct Summary {
    double median = std::numeric_limits<double>::quiet_NaN();
    double worst = std::numeric_limits<double>::quiet_NaN();
    int count = 0;
};

// Worst is the sample farthest from `ideal` (the largest for plain costs).
Summary summarise(std::vector<double> samples, std::optional<double> ideal = std::nullopt);
// One known value as both median and worst.
Summary constant(double value);
// "-" for a figure that was not taken.
QString number(double value, int decimals);

struct Row {
    Row(QString figure, QString unit, Summary value, QString reference, Summary referenceValue,
        QString target, int decimals = 1)
        : figure(std::move(figure)), unit(std::move(unit)), value(value),
          reference(std::move(reference)), referenceValue(referenceValue),
          target(std::move(target)), decimals(decimals) {}

    QString figure;
    QString unit;
    Summary value;
    QString reference; // what the reference is
    Summary referenceValue;
    QString target;
    int decimals;
    std::optional<bool> met; // nullopt: nothing to meet
    bool counted = true;     // false: shown to explain another row
};

class Table {
  public:
    // A row with a target is met or missed; one not counted only explains
    // another and leaves the run's verdict alone.
    void add(Row row, std::optional<bool> met = std::nullopt, bool counted = true);
    bool allMet() const { return m_allMet; }
    void print() const;

  private:
    std::vector<Row> m_rows;
    bool m_allMet = true;
};

} // namespace kavo::bench
