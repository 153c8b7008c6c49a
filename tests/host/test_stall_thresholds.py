"""The start-up line about stall thresholds the watchdog, which looks every 15 s, cannot honour."""

import pytest

from tavrin.gateway.cli import stall_note


@pytest.mark.parametrize(
    "warn, cancel, said",
    [
        (30, 180, None),  # the defaults: a look falls between the two
        (15, 30, None),
        (5, 12, "stopped after 15 s without a warning first"),  # the README's old example: never warned
        (20, 25, "stopped after 30 s without a warning first"),
        (5, 40, "--stall-warn-seconds 5 takes effect after 15 s"),
        (2, 0, "--stall-warn-seconds 2 takes effect after 15 s"),  # never stopped, warned late
    ],
)
def test_a_threshold_the_watchdog_cannot_honour_is_told_in_one_line(warn, cancel, said):
    """Catches thresholds that silently never warn, or a note where they work as given."""
    note = stall_note(warn, cancel)
    if said is None:
        assert note is None
    else:
        assert said in note and "\n" not in note
