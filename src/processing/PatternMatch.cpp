#include "processing/PatternMatch.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace skyvane {

namespace {

// Least squares of the similarity over the pairs with the given weights.
SimilarityTransform WeightedFit(const std::vector<PatternPoint>& from, const std::vector<PatternPoint>& to,
                                const std::vector<std::pair<std::size_t, std::size_t>>& pairs, const std::vector<double>& weights,
                                bool mirrored)
{
    SimilarityTransform t;
    t.mirrored = mirrored;
    double sw = 0.0, ux = 0.0, uy = 0.0, qx = 0.0, qy = 0.0;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const PatternPoint& p = from[pairs[k].first];
        const PatternPoint& q = to[pairs[k].second];
        const double w = weights[k];
        sw += w;
        ux += w * p.x;
        uy += w * (mirrored ? -p.y : p.y);
        qx += w * q.x;
        qy += w * q.y;
    }
    if (!(sw > 0.0))
        return t;
    ux /= sw;
    uy /= sw;
    qx /= sw;
    qy /= sw;
    double na = 0.0, nb = 0.0, den = 0.0;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const PatternPoint& p = from[pairs[k].first];
        const PatternPoint& q = to[pairs[k].second];
        const double w = weights[k];
        const double px = p.x - ux;
        const double py = (mirrored ? -p.y : p.y) - uy;
        const double dx = q.x - qx;
        const double dy = q.y - qy;
        na += w * (px * dx + py * dy);
        nb += w * (px * dy - py * dx);
        den += w * (px * px + py * py);
    }
    if (!(den > 0.0))
        return t;
    t.a = na / den;
    t.b = nb / den;
    t.tx = qx - (t.a * ux - t.b * uy);
    t.ty = qy - (t.b * ux + t.a * uy);
    return t;
}

double Distance(double ax, double ay, double bx, double by)
{
    return std::hypot(ax - bx, ay - by);
}

// Twice the signed area of the triangle p, q, r: positive when counter-clockwise.
double Turn(const PatternPoint& p, const PatternPoint& q, const PatternPoint& r)
{
    return (q.x - p.x) * (r.y - p.y) - (q.y - p.y) * (r.x - p.x);
}

// The least k for which trials draws from a Poisson distribution of mean lambda reach k
// or more only with odds below 1 in 1000, all together.
int ChanceLimit(double lambda, double trials)
{
    double term = std::exp(-lambda); // P(X = k)
    double below = 0.0;              // P(X < k)
    for (int k = 0; k < 1000; ++k) {
        if ((1.0 - below) * std::max(1.0, trials) < 1e-3)
            return k;
        below += term;
        term *= lambda / (k + 1);
    }
    return 1000;
}

} // namespace

double SimilarityTransform::scale() const
{
    return std::hypot(a, b);
}

double SimilarityTransform::angle() const
{
    return std::atan2(b, a);
}

void SimilarityTransform::apply(double x, double y, double& outX, double& outY) const
{
    const double v = mirrored ? -y : y;
    outX = a * x - b * v + tx;
    outY = b * x + a * v + ty;
}

SimilarityTransform SimilarityTransform::inverse() const
{
    // (u, v) = A^-1 (q - t), A^-1 = [[a, b], [-b, a]] / (a^2 + b^2); then un-mirror v. In
    // the same form: mirrored, u = a' x - b' (-y) ... works out to the coefficients below.
    const double n = a * a + b * b;
    SimilarityTransform r;
    r.mirrored = mirrored;
    const double ia = a / n;
    const double ib = b / n;
    // Unmirrored: x = ia (X - tx) + ib (Y - ty), y = -ib (X - tx) + ia (Y - ty).
    // As the form above: a' = ia, b' = -ib. Mirrored: y = -v, so
    // x = ia X' + ib Y', y = ib X' - ia Y'  (X' = X - tx, Y' = Y - ty), which is the form
    // with (u, v) = (X, -Y): x = a' X - b' (-Y), y = b' X + a' (-Y) with a' = ia, b' = ib.
    r.a = ia;
    r.b = mirrored ? ib : -ib;
    double ox = 0.0, oy = 0.0;
    r.apply(tx, ty, ox, oy);
    r.tx = -ox;
    r.ty = -oy;
    return r;
}

std::vector<PatternPoint> PatternPoints(const std::vector<DetectedStar>& stars)
{
    std::vector<PatternPoint> points;
    points.reserve(stars.size());
    for (const DetectedStar& s : stars)
        points.push_back({s.x, s.y, s.positionError});
    return points;
}

SimilarityTransform FitSimilarity(const std::vector<PatternPoint>& from, const std::vector<PatternPoint>& to,
                                  const std::vector<std::pair<std::size_t, std::size_t>>& pairs, bool mirrored)
{
    if (pairs.size() < 2) {
        SimilarityTransform identity;
        identity.mirrored = false;
        return identity;
    }
    std::vector<double> weights(pairs.size(), 1.0);
    const SimilarityTransform first = WeightedFit(from, to, pairs, weights, mirrored);
    const double s2 = first.a * first.a + first.b * first.b;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const double ef = from[pairs[k].first].error;
        const double et = to[pairs[k].second].error;
        weights[k] = 1.0 / (et * et + s2 * ef * ef);
    }
    return WeightedFit(from, to, pairs, weights, mirrored);
}

std::vector<ReferencePattern::Triangle> ReferencePattern::Triangles(const std::vector<PatternPoint>& stars, std::size_t count,
                                                                    double shortestSide)
{
    std::vector<Triangle> triangles;
    count = std::min(count, stars.size());
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = i + 1; j < count; ++j) {
            for (std::size_t k = j + 1; k < count; ++k) {
                // Side opposite each vertex.
                const std::size_t vertex[3] = {i, j, k};
                double side[3] = {Distance(stars[j].x, stars[j].y, stars[k].x, stars[k].y),
                                  Distance(stars[i].x, stars[i].y, stars[k].x, stars[k].y),
                                  Distance(stars[i].x, stars[i].y, stars[j].x, stars[j].y)};
                int order[3] = {0, 1, 2};
                std::sort(order, order + 3, [&](int p, int q) { return side[p] > side[q] || (side[p] == side[q] && p < q); });
                const double longest = side[order[0]];
                const double shortest = side[order[2]];
                if (!(shortest >= shortestSide))
                    continue;
                Triangle t;
                for (int m = 0; m < 3; ++m)
                    t.vertex[m] = vertex[order[m]];
                t.u = side[order[1]] / longest;
                t.v = shortest / longest;
                t.counterClockwise = Turn(stars[t.vertex[0]], stars[t.vertex[1]], stars[t.vertex[2]]) > 0.0;
                triangles.push_back(t);
            }
        }
    }
    return triangles;
}

ReferencePattern::ReferencePattern(std::vector<PatternPoint> stars, const PatternSettings& settings)
    : stars_(std::move(stars)), settings_(settings)
{
    triangles_ = Triangles(stars_, static_cast<std::size_t>(std::max(3, settings_.brightest)), settings_.shortestSide);
    bins_ = std::clamp(static_cast<int>(1.0 / std::max(1e-4, settings_.ratioTolerance)), 1, 1000);
    byShape_.assign(static_cast<std::size_t>(bins_) * static_cast<std::size_t>(bins_), {});
    for (std::size_t id = 0; id < triangles_.size(); ++id) {
        const int bu = std::min(bins_ - 1, static_cast<int>(triangles_[id].u * bins_));
        const int bv = std::min(bins_ - 1, static_cast<int>(triangles_[id].v * bins_));
        byShape_[static_cast<std::size_t>(bu * bins_ + bv)].push_back(id);
    }
    if (stars_.empty())
        return;
    double minX = stars_[0].x, maxX = minX, minY = stars_[0].y, maxY = minY;
    for (const PatternPoint& p : stars_) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    cellSize_ = std::max(8.0, settings_.matchRadius);
    originX_ = minX;
    originY_ = minY;
    area_ = std::max(1.0, (maxX - minX) * (maxY - minY));
    cellsX_ = static_cast<int>((maxX - minX) / cellSize_) + 1;
    cellsY_ = static_cast<int>((maxY - minY) / cellSize_) + 1;
    byPlace_.assign(static_cast<std::size_t>(cellsX_) * static_cast<std::size_t>(cellsY_), {});
    for (std::size_t k = 0; k < stars_.size(); ++k) {
        const int cx = static_cast<int>((stars_[k].x - originX_) / cellSize_);
        const int cy = static_cast<int>((stars_[k].y - originY_) / cellSize_);
        byPlace_[static_cast<std::size_t>(cx * cellsY_ + cy)].push_back(k);
    }
}

long ReferencePattern::nearest(double x, double y, double radius, std::size_t limit) const
{
    if (stars_.empty() || !std::isfinite(x) || !std::isfinite(y))
        return -1;
    const double fx = (x - originX_) / cellSize_;
    const double fy = (y - originY_) / cellSize_;
    const double reach = radius / cellSize_;
    if (fx < -reach - 1.0 || fy < -reach - 1.0 || fx > cellsX_ + reach || fy > cellsY_ + reach)
        return -1;
    const int x0 = std::max(0, static_cast<int>(std::floor(fx - reach)));
    const int x1 = std::min(cellsX_ - 1, static_cast<int>(std::floor(fx + reach)));
    const int y0 = std::max(0, static_cast<int>(std::floor(fy - reach)));
    const int y1 = std::min(cellsY_ - 1, static_cast<int>(std::floor(fy + reach)));
    long best = -1;
    double bestDistance2 = radius * radius;
    for (int i = x0; i <= x1; ++i) {
        for (int j = y0; j <= y1; ++j) {
            for (const std::size_t k : byPlace_[static_cast<std::size_t>(i * cellsY_ + j)]) {
                if (k >= limit)
                    continue;
                const double d2 = (x - stars_[k].x) * (x - stars_[k].x) + (y - stars_[k].y) * (y - stars_[k].y);
                if (d2 <= bestDistance2 && (best < 0 || d2 < bestDistance2 || k < static_cast<std::size_t>(best))) {
                    best = static_cast<long>(k);
                    bestDistance2 = d2;
                }
            }
        }
    }
    return best;
}

int ReferencePattern::consensus(const SimilarityTransform& inverse, const std::vector<PatternPoint>& frame, std::size_t count,
                                int toBeat, double& spread) const
{
    int hits = 0;
    spread = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        if (hits + static_cast<int>(count - k) < toBeat)
            return -1; // cannot come up to the best so far
        double x = 0.0, y = 0.0;
        inverse.apply(frame[k].x, frame[k].y, x, y);
        const long r = nearest(x, y, settings_.matchRadius, 2 * count);
        if (r >= 0) {
            ++hits;
            spread += Distance(x, y, stars_[static_cast<std::size_t>(r)].x, stars_[static_cast<std::size_t>(r)].y);
        }
    }
    return hits;
}

PatternMatch ReferencePattern::match(const std::vector<PatternPoint>& frame) const
{
    PatternMatch result;
    if (stars_.size() < 3 || frame.size() < 3 || triangles_.empty())
        return result;
    const std::size_t bright = std::min(frame.size(), static_cast<std::size_t>(std::max(3, settings_.brightest)));
    const std::vector<Triangle> triangles = Triangles(frame, bright, settings_.shortestSide);

    // 1 and 2: a transform per pair of alike triangles, scored on the brightest stars.
    SimilarityTransform best;
    int bestHits = 0;
    double tried = 0.0;
    double bestSpread = std::numeric_limits<double>::infinity();
    const double tolerance = settings_.ratioTolerance;
    // Chance: the triangle's own three stars always land; each other bright star lands
    // near one of the reference's brightest by chance with the odds of the area covered.
    const std::size_t brightReference = std::min(stars_.size(), 2 * bright);
    const double radius2 = std::numbers::pi * settings_.matchRadius * settings_.matchRadius;
    const double chance = std::min(1.0, static_cast<double>(brightReference) * radius2 / area_);
    const double lambda = static_cast<double>(bright - 3) * chance;
    // A transform that brings most bright stars home, beyond what chance gives under every
    // pair of triangles there could be, ends the search.
    const int enough = std::max(3 + ChanceLimit(lambda, static_cast<double>(triangles.size()) * static_cast<double>(triangles_.size())),
                                static_cast<int>((6 * bright + 9) / 10));
    bool done = false;
    std::vector<std::pair<std::size_t, std::size_t>> three(3);
    const std::vector<double> equal(3, 1.0);
    for (const Triangle& t : triangles) {
        const int u0 = std::max(0, static_cast<int>((t.u - tolerance) * bins_));
        const int u1 = std::min(bins_ - 1, static_cast<int>((t.u + tolerance) * bins_));
        const int v0 = std::max(0, static_cast<int>((t.v - tolerance) * bins_));
        const int v1 = std::min(bins_ - 1, static_cast<int>((t.v + tolerance) * bins_));
        for (int bu = u0; bu <= u1; ++bu) {
            for (int bv = v0; bv <= v1; ++bv) {
                for (const std::size_t id : byShape_[static_cast<std::size_t>(bu * bins_ + bv)]) {
                    const Triangle& r = triangles_[id];
                    if (std::fabs(r.u - t.u) > tolerance || std::fabs(r.v - t.v) > tolerance)
                        continue;
                    for (int m = 0; m < 3; ++m)
                        three[static_cast<std::size_t>(m)] = {r.vertex[m], t.vertex[m]};
                    const bool mirrored = r.counterClockwise != t.counterClockwise;
                    const SimilarityTransform guess = WeightedFit(stars_, frame, three, equal, mirrored);
                    const double scale = guess.scale();
                    if (!(scale >= settings_.minScale && scale <= settings_.maxScale))
                        continue;
                    double spread = 0.0;
                    tried += 1.0;
                    const int hits = consensus(guess.inverse(), frame, bright, bestHits, spread);
                    if (hits > bestHits || (hits == bestHits && spread < bestSpread)) {
                        best = guess;
                        bestHits = hits;
                        bestSpread = spread;
                        done = bestHits >= enough;
                    }
                    if (done)
                        break;
                }
                if (done)
                    break;
            }
            if (done)
                break;
        }
        if (done)
            break;
    }
    const int needed = 3 + ChanceLimit(lambda, tried);
    if (bestHits < std::max(needed, std::min(settings_.minMatches, static_cast<int>(bright))))
        return result;

    // 3: all stars paired under the transform, fitted again, the far pairs dropped.
    SimilarityTransform transform = best;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    std::vector<std::pair<std::size_t, std::size_t>> previous;
    double radius = settings_.matchRadius;
    for (int round = 0; round < 10; ++round) {
        const SimilarityTransform inverse = transform.inverse();
        // The nearest reference star of each frame star; a reference star taken twice
        // keeps its nearer partner.
        std::vector<long> partner(stars_.size(), -1);
        std::vector<double> partnerDistance(stars_.size(), 0.0);
        for (std::size_t k = 0; k < frame.size(); ++k) {
            double x = 0.0, y = 0.0;
            inverse.apply(frame[k].x, frame[k].y, x, y);
            const long r = nearest(x, y, radius, stars_.size());
            if (r < 0)
                continue;
            const std::size_t ri = static_cast<std::size_t>(r);
            const double d = Distance(x, y, stars_[ri].x, stars_[ri].y);
            if (partner[ri] < 0 || d < partnerDistance[ri]) {
                partner[ri] = static_cast<long>(k);
                partnerDistance[ri] = d;
            }
        }
        pairs.clear();
        for (std::size_t ri = 0; ri < stars_.size(); ++ri)
            if (partner[ri] >= 0)
                pairs.emplace_back(ri, static_cast<std::size_t>(partner[ri]));
        if (static_cast<int>(pairs.size()) < settings_.minMatches)
            return result;
        transform = FitSimilarity(stars_, frame, pairs, best.mirrored);
        // Distances measured in units of each pair's own uncertainty; pairs far beyond the
        // typical one are dropped and the rest fitted again.
        const double s2 = transform.a * transform.a + transform.b * transform.b;
        std::vector<double> z(pairs.size());
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            const PatternPoint& p = stars_[pairs[k].first];
            const PatternPoint& q = frame[pairs[k].second];
            double x = 0.0, y = 0.0;
            transform.apply(p.x, p.y, x, y);
            z[k] = Distance(x, y, q.x, q.y) / std::sqrt(q.error * q.error + s2 * p.error * p.error);
        }
        std::vector<double> sorted = z;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
        // The median of a 2-D normal distance is 1.1774 sigma; cut at 4 sigma.
        const double limit = 4.0 * std::max(sorted[sorted.size() / 2] / 1.1774, 1.0);
        std::vector<std::pair<std::size_t, std::size_t>> kept;
        for (std::size_t k = 0; k < pairs.size(); ++k)
            if (z[k] <= limit)
                kept.push_back(pairs[k]);
        if (static_cast<int>(kept.size()) < settings_.minMatches)
            return result;
        if (kept.size() != pairs.size()) {
            pairs.swap(kept);
            transform = FitSimilarity(stars_, frame, pairs, best.mirrored);
        }
        // The next round pairs within 4 times the pairs' distances (at least 1 pixel).
        double squares = 0.0;
        for (const auto& [ri, fi] : pairs) {
            double x = 0.0, y = 0.0;
            transform.apply(stars_[ri].x, stars_[ri].y, x, y);
            const double d = Distance(x, y, frame[fi].x, frame[fi].y);
            squares += d * d;
        }
        const double next = std::clamp(4.0 * std::sqrt(squares / static_cast<double>(pairs.size())) / std::sqrt(s2), 1.0, settings_.matchRadius);
        if (pairs == previous && next == radius)
            break;
        previous = pairs;
        radius = next;
    }
    // Chance again, now over all stars: as many pairs as random fields would give are no match.
    const double pairChance = std::min(1.0, std::numbers::pi * radius * radius / area_);
    const double expected = static_cast<double>(frame.size()) * static_cast<double>(stars_.size()) * pairChance;
    if (static_cast<int>(pairs.size()) < std::max(settings_.minMatches, ChanceLimit(expected, 1.0)))
        return result;
    double sum = 0.0;
    for (const auto& [ri, fi] : pairs) {
        double x = 0.0, y = 0.0;
        transform.apply(stars_[ri].x, stars_[ri].y, x, y);
        const double d = Distance(x, y, frame[fi].x, frame[fi].y);
        sum += d * d;
    }
    result.found = true;
    result.transform = transform;
    result.rms = std::sqrt(sum / static_cast<double>(pairs.size()));
    result.pairs = std::move(pairs);
    return result;
}

} // namespace skyvane
