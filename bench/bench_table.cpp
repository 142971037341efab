#include "bench_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kavo::bench {

Summary summarise(std::vector<double> samples, std::optional<double> ideal) {
    Summary s;
    s.count = int(samples.size());
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    if (!ideal) {
        s.worst = samples.back();
    } else {
        s.worst = *std::max_element(samples.begin(), samples.end(), [&](double a, double b) {
            return std::abs(a - *ideal) < std::abs(b - *ideal);
        });
    }
    return s;
}

Summary constant(double value) {
    Summary s;
    s.median = s.worst = value;
    return s;
}

QString number(double value, int decimals) {
    return std::isnan(value) ? QStringLiteral("-") : QString::number(value, 'f', decimals);
}

void Table::add(Row row, std::optional<bool> met, bool counted) {
    row.met = met;
    row.counted = counted;
    if (met && counted)
        m_allMet = m_allMet && *met;
    m_rows.push_back(std::move(row));
}

void Table::print() const {
    const auto pad = [](const QString& text, int width) { return text.leftJustified(width, ' '); };
    const auto right = [](const QString& text, int width) {
        return text.rightJustified(width, ' ');
    };
    std::printf("%s\n",
                qPrintable(pad(QStringLiteral("Figure"), 34) + right(QStringLiteral("median"), 9) +
                           right(QStringLiteral("worst"), 9) + QStringLiteral("  ") +
                           pad(QStringLiteral("Reference (same run)"), 30) +
                           right(QStringLiteral("median"), 9) + right(QStringLiteral("worst"), 9) +
                           QStringLiteral("  ") + pad(QStringLiteral("Target"), 30) +
                           QStringLiteral("Result")));
    std::printf("%s\n", qPrintable(QString(34 + 18 + 2 + 30 + 18 + 2 + 30 + 6, QLatin1Char('-'))));
    for (const Row& row : m_rows) {
        const QString figure =
            row.unit.isEmpty() ? row.figure : row.figure + QStringLiteral(", ") + row.unit;
        QString result = !row.met ? QStringLiteral("-")
                                  : (*row.met ? QStringLiteral("pass") : QStringLiteral("MISS"));
        if (row.met && !row.counted)
            result = QLatin1Char('(') + result.toLower() + QLatin1Char(')');
        std::printf("%s\n",
                    qPrintable(pad(figure, 34) + right(number(row.value.median, row.decimals), 9) +
                               right(number(row.value.worst, row.decimals), 9) +
                               QStringLiteral("  ") + pad(row.reference, 30) +
                               right(number(row.referenceValue.median, row.decimals), 9) +
                               right(number(row.referenceValue.worst, row.decimals), 9) +
                               QStringLiteral("  ") + pad(row.target, 30) + result));
    }
}

} // namespace kavo::bench
