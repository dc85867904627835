"""The run's detector: a new one from ``--param``, or a saved one from ``--state-in``."""

from __future__ import annotations

from typing import Any

from quillon._detectors import BY_NAME, Kind, SavedState, StateError, disagreements, load, read_state
from quillon.cli.arguments import UserError, one_line
from quillon.cli.layout import Layout


def _a(name: str) -> str:
    return f"{'an' if name[0] in 'MO' else 'a'} {name}"


def load_state(path: str, name: str | None) -> tuple[SavedState, Any, Any]:
    """The saved state's kind and configuration, the detector it holds and its alerts (or None)."""
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as error:
        raise UserError(f"cannot read state {path}: {error.strerror}") from None
    wanted = BY_NAME[name] if name else None
    try:
        saved = read_state(text)
    except StateError:
        if wanted is None:
            raise UserError(f"state {path} is not a saved quillon detector") from None
        saved = None
    if wanted is not None and saved is not None and saved.kind is not wanted:
        raise UserError(f"state {path} holds {_a(saved.kind.class_name)}, not {_a(wanted.class_name)} "
                        f"(use --detector {saved.kind.name})")
    kind = wanted or saved.kind
    alerts = None
    try:
        if saved is not None and saved.alerts:
            from quillon import Monitor

            monitor = Monitor.from_json(text)
            detector, alerts = monitor.detector, monitor.alerts
        else:
            detector = load(kind.cls, text)
    except (ValueError, RuntimeError, OverflowError, MemoryError) as error:
        raise UserError(f"state {path} is not a saved {kind.class_name}: {one_line(error)}") from None
    if saved is None:  # the detector reads it although its shape looked unfamiliar
        saved = SavedState(kind, {})
    return saved, detector, alerts


def new_alerts(risk: float | None) -> Any:
    from quillon import Alerts

    return Alerts() if risk is None else Alerts(risk=risk)


def check_alerts(alerts: Any, risk: float | None, path: str) -> None:
    """Refuse an ``--alert-risk`` that disagrees with the saved alerts."""
    if risk is not None and alerts.risk() != risk:
        raise UserError(f"--alert-risk {risk!r} disagrees with state {path}, which was saved with "
                        f"risk {alerts.risk()!r}")


def check_params(saved: SavedState, params: dict[str, Any], path: str) -> None:
    """Refuse ``--param`` values that disagree with the saved configuration."""
    for name, old, new in disagreements(saved.config, params):
        raise UserError(f"--param {name}={_text(new)} disagrees with state {path}, which was saved "
                        f"with {name}={_text(old)}")


def _text(value: Any) -> str:
    return str(value).lower() if isinstance(value, bool) else str(value)


def new_detector(kind: Kind, params: dict[str, Any], layout: Layout) -> Any:
    cls = kind.cls
    try:
        derived = kind.derived_dimensions(params, len(layout.numeric), len(layout.categorical))
    except ValueError as error:
        raise UserError(str(error)) from None
    for name, value in derived.items():
        if name in params and params[name] != value:
            columns = layout.categorical if name == "categorical_dim" else layout.numeric
            raise UserError(f"--param {name}={params[name]} disagrees with the input, which gives {value} "
                            f"({', '.join(columns)})")
        params.setdefault(name, value)
    try:
        return cls(**params)
    except (ValueError, OverflowError, TypeError) as error:
        raise UserError(f"invalid {cls.__name__} parameters: {one_line(error)}") from None
    except MemoryError:
        raise UserError(f"invalid {cls.__name__} parameters: not enough memory for "
                        f"{', '.join(f'{k}={v}' for k, v in params.items() if k not in derived)}") from None


def check_state_fits(saved: SavedState, layout: Layout, path: str) -> None:
    # A Forest's rows are checked by its batch call: without internal shingling they are whole
    # shingled points.
    config = saved.config
    numeric, categorical = len(layout.numeric), len(layout.categorical)
    if saved.kind.name == "online-iforest" and config.get("input_dim", numeric) != numeric:
        raise UserError(f"state {path} takes {config['input_dim']} values per row, the input gives "
                        f"{numeric} ({', '.join(layout.numeric)})")
    if saved.kind.name == "mstream":
        dims = (config.get("numeric_dim", numeric), config.get("categorical_dim", categorical))
        if dims != (numeric, categorical):
            raise UserError(f"state {path} takes {dims[0]} numeric and {dims[1]} categorical "
                            f"fields, the input gives {numeric} and {categorical}")
