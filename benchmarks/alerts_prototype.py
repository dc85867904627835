"""Reference prototype of the streaming threshold ("alerts") that ALERTS-DESIGN.md specifies.

Plain Python floats, one step at a time, in the order the design note gives, so that a native
version can be checked against it. It is research code for benchmarks/nab.py, not part of the package.
"""

import math

LOG2E = 1.4426950408889634
LOGISTIC = 1.702 * LOG2E  # logistic stand-in for the normal CDF, in base 2


MAX_SCORE = 1e100  # larger scores are refused, so that the state cannot overflow


def _exp2(v):
    # C's exp2 gives +inf where Python's raises OverflowError.
    try:
        return math.exp2(v)
    except OverflowError:
        return math.inf


def _cdf(z):
    return 1.0 / (1.0 + _exp2(-LOGISTIC * z))


class _Tail:
    """One score stream's model: running moments, a running tail threshold and its peaks."""

    def __init__(self, cfg):
        self.cfg = cfg
        self.mean = 0.0
        self.var = 0.0
        self.u = 0.0
        self.ring = [0.0] * cfg.peaks
        self.count = 0
        self.head = 0
        self.gamma = 0.0
        self.sigma = 0.0
        self.warm = []

    def p_value(self, x):
        tail = self.cfg.tail
        if x > self.u:
            if self.sigma <= 0.0:
                return tail
            y = (x - self.u) / self.sigma
            if self.gamma > 0.0:
                return tail * math.exp2(-math.log1p(self.gamma * y) / self.gamma * LOG2E)
            return tail * math.exp2(-y * LOG2E)
        sd = math.sqrt(self.var)
        if sd <= 0.0:
            return tail if x == self.u else 1.0
        fu = _cdf((self.u - self.mean) / sd)
        if fu <= 0.0:  # the body's CDF underflows at u: as flat as a body without spread
            return tail if x == self.u else 1.0
        fx = _cdf((x - self.mean) / sd)
        return 1.0 - (1.0 - tail) * (fx / fu)

    def risk_excess(self):
        r = self.cfg.risk / self.cfg.tail
        if self.gamma > 0.0:
            return self.sigma / self.gamma * (math.pow(r, -self.gamma) - 1.0)
        return self.sigma * -math.log(r)

    def add_peak(self, e):
        k = self.cfg.peaks
        self.ring[self.head] = e
        self.head = (self.head + 1) % k
        self.count = min(self.count + 1, k)
        s = 0.0
        for i in range(self.count):
            s += self.ring[i]
        m = s / self.count
        s = 0.0
        for i in range(self.count):
            d = self.ring[i] - m
            s += d * d
        v = s / self.count
        if v > 0.0 and m > 0.0:
            self.gamma = min(max(0.5 * (1.0 - m * m / v), 0.0), self.cfg.max_shape)
        else:
            self.gamma = 0.0
        self.sigma = m * (1.0 - self.gamma)

    def learn(self, x, n, p):
        """Take score x as the n-th (1-based) step; p is the p-value this model gave it."""
        cfg = self.cfg
        a = max(cfg.rate, 1.0 / n)
        d = x - self.mean
        self.mean += a * d
        self.var = (1.0 - a) * (self.var + a * d * d)
        if n <= cfg.warmup:
            self.warm.append(x)
            if n == cfg.warmup:
                ordered = sorted(self.warm)
                k = min(max(1, math.floor(cfg.tail * cfg.warmup)), cfg.warmup - 1)
                self.u = ordered[cfg.warmup - k - 1]
                for v in ordered[cfg.warmup - k:]:
                    if v > self.u:
                        self.add_peak(v - self.u)
                self.warm = []
            return
        exceed = x > self.u
        if exceed:
            # An alarm enters the peaks clipped to the excess the fit gives the risk level: left out,
            # the tail would be fitted to a truncated sample and grow too light; taken whole, one
            # anomaly would teach the model that anomalies are ordinary.
            self.add_peak(x - self.u if p >= cfg.risk else min(x - self.u, self.risk_excess()))
        self.u += cfg.step * math.sqrt(self.var) * ((1.0 if exceed else 0.0) - cfg.tail)


class Config:
    def __init__(self, inputs=1, risk=2e-3, tail=0.02, peaks=128, warmup=150, half_life=2000.0,
                 step=0.05, episode_gap=100, max_shape=0.45):
        if not (0.0 < risk < tail < 1.0) or warmup < 1 / tail + 1 or peaks < 1 or inputs < 1:
            raise ValueError("bad alerts configuration")
        self.inputs, self.risk, self.tail, self.peaks, self.warmup = inputs, risk, tail, peaks, warmup
        self.half_life, self.step, self.episode_gap, self.max_shape = half_life, step, episode_gap, max_shape
        self.rate = 1.0 - math.pow(0.5, 1.0 / half_life)


class Alerts:
    """Feed one score per input per step; get (grade, alert)."""

    def __init__(self, **kw):
        self.cfg = Config(**kw)
        self.tails = [_Tail(self.cfg) for _ in range(self.cfg.inputs)]
        self.n = 0
        self.episode = False
        self.quiet = 0

    def update(self, scores):
        cfg = self.cfg
        if len(scores) != cfg.inputs or not all(abs(x) <= MAX_SCORE for x in scores):
            raise ValueError("one finite score within +-1e100 per input")
        n = self.n + 1
        if n <= cfg.warmup:
            ps = [1.0] * cfg.inputs
            grade, alert = 0.0, False
        else:
            ps = [t.p_value(float(x)) for t, x in zip(self.tails, scores)]
            p = min(1.0, cfg.inputs * min(ps))
            grade, alert = 1.0 - p, False
            if self.episode:
                # Rows after an episode's alert stay below any alert level: one episode, one peak.
                grade = min(grade, 1.0 - cfg.tail)
            if p < cfg.risk:
                if not self.episode:
                    alert, self.episode = True, True
                self.quiet = 0
            else:
                self.quiet += 1
                if self.quiet >= cfg.episode_gap:
                    self.episode = False
        for t, x, p in zip(self.tails, scores, ps):
            t.learn(float(x), n, p)
        self.n = n
        return grade, alert


def run(score_columns, **kw):
    """Grades and 0/1 alerts for a series given one score array per input."""
    al = Alerts(inputs=len(score_columns), **kw)
    grades, alerts = [], []
    for row in zip(*score_columns):
        g, a = al.update(row)
        grades.append(g)
        alerts.append(a)
    return grades, alerts
