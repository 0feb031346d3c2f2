"""``nefa view``: the page itself, and the page in a real headless Chromium."""

import json
import os
import re
import shutil
from contextlib import contextmanager

import msgpack
import pytest

from nefa import cli
from nefa.traces.call_index import open_index
from nefa.traces.indexed import IndexedTrace
from nefa.traces.server import TraceViews
from nefa.traces.tree import load_trace
from nefa.traces.viewer import page_data, render_html, write_view

INJECTED = "</script><script>window.injected = true</script>"


@contextmanager
def indexed(database, trace_id):
    with open_index(database, trace_id) as index:
        yield IndexedTrace(index)


def write_page(database, trace_id, path):
    with indexed(database, trace_id) as trace:
        return write_view(trace, path)


def test_view_command_writes_the_page(capsys, tmp_path, monkeypatch, shop):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "views").mkdir()  # made by the user: nefa makes no directory
    status = cli.main(["view", "--db", str(shop), "-o", "views/shop.html"])
    out, err = capsys.readouterr()
    assert (status, err) == (0, "")
    assert out.strip() == "views/shop.html"
    assert (tmp_path / "views" / "shop.html").read_text().startswith("<!doctype html>")


def test_a_page_refuses_a_trace_too_big_for_it(capsys, tmp_path, monkeypatch, shop):
    monkeypatch.setattr(cli.ViewCommand, "PAGE_RECORDS", 5)
    status = cli.main(["view", "--db", str(shop), "-o", str(tmp_path / "shop.html")])
    out, err = capsys.readouterr()
    assert (status, out) == (1, "")
    assert err.count("\n") == 1 and "too many for one page" in err and "`nefa view trc_01SHOP` without -o" in err
    assert not (tmp_path / "shop.html").exists()


def test_page_is_self_contained(records, pack, store):
    thread = records()
    frame_id = thread.call("app.render", 0.0, locals={"html": INJECTED})
    thread.ret("app.render", 0.1, frame_id, value=INJECTED)
    with indexed(store("trc_test", pack(thread)), "trc_test") as trace:
        page = render_html(trace)
    # Nothing fetched: no external script, style, image or font.
    assert not re.search(r"<(script|link|img|iframe)[^>]*(src|href)=", page)
    assert "url(" not in page and "@import" not in page
    # A value cannot close the data's <script> block: only the page's own three do.
    assert INJECTED not in page and page.count("</script>") == 3


def test_data_is_compact(records, pack, store):
    thread = records()
    for index in range(3):
        frame_id = thread.call("app.step", index, locals={"i": index})
        thread.ret("app.step", index + 0.5, frame_id, value=index * 10)
    with indexed(store("trc_test", pack(thread)), "trc_test") as trace:
        data, values = page_data(trace)
    (lane,) = data["threads"]
    (row,) = lane["rows"]
    frames = row["calls"]
    # One copy of each text, referenced by id.
    assert list(data["names"].values()).count("app.step") == 1 and len({call[3] for call in frames}) == 1
    assert [call[2] for call in frames] == pytest.approx([500_000] * 3, abs=1)
    assert [values[call[0]]["values"]["returned"] for call in frames] == [0, 10, 20]
    assert [values[call[0]]["values"]["arguments"] for call in frames] == [{"i": 0}, {"i": 1}, {"i": 2}]


# ------------------------------------------------------------- in a browser


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


@pytest.fixture(scope="session")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (pip install '.[test]')")
    binary, driver_path = _chromium(), shutil.which("chromedriver")
    if not binary or not driver_path:
        pytest.skip("headless browser test needs chromium and chromedriver (apt-get install chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1280,800",
        "--force-device-scale-factor=1",
    ):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not ours to sanitise: a run with the sanitiser runtimes
    # preloaded must not push them into chromedriver and Chromium too.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    service = webdriver.ChromeService(executable_path=driver_path, env=env)
    driver = webdriver.Chrome(service=service, options=options)
    yield driver
    driver.quit()


def wait_for(driver, script, timeout=60):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout).until(lambda d: d.execute_script(script))


def open_page(driver, path):
    driver.get(path.resolve().as_uri())
    wait_for(driver, "return window.nefaViewer && nefaViewer.ready && nefaViewer.idle()")
    errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []


def click_at(driver, x, y):
    from selenium.webdriver.common.actions.action_builder import ActionBuilder

    builder = ActionBuilder(driver)
    builder.pointer_action.move_to_location(int(x), int(y)).click()
    builder.perform()


def flat(items):
    return [value for item in items for value in item]


def painted_pixels(driver):
    return driver.execute_script("""
        const canvas = document.getElementById("canvas");
        const pixels = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
        let painted = 0;
        for (let i = 0; i < pixels.length; i += 4) {
            if (pixels[i + 3] > 0 && (pixels[i] < 240 || pixels[i + 1] < 240 || pixels[i + 2] < 240)) painted++;
        }
        return painted;
    """)


@pytest.fixture(scope="module")
def page(tmp_path_factory, recorded):
    return write_page(*recorded, tmp_path_factory.mktemp("view") / "recorded.html")


class TestInBrowser:
    def test_loads_and_draws(self, browser, page):
        open_page(browser, page)
        viewer = browser.execute_script("return {frames: nefaViewer.frameCount, stats: nefaViewer.stats}")
        assert viewer["frames"] == 22
        assert viewer["stats"]["rects"] > 0 and viewer["stats"]["labels"] > 0
        assert painted_pixels(browser) > 1000
        assert "program.py" in browser.find_element("id", "trace-info").text

    def test_click_shows_details(self, browser, page):
        open_page(browser, page)
        assert browser.execute_script("return nefaViewer.reveal('__main__.fail')")
        wait_for(browser, "return nefaViewer.idle()")
        where = browser.execute_script("return nefaViewer.locate('__main__.fail')")
        click_at(browser, where["x"], where["y"])
        wait_for(browser, "return document.getElementById('detail-name') !== null")
        details = browser.find_element("id", "details").text
        assert browser.find_element("id", "detail-name").text == "__main__.fail"
        assert "program.py:8" in details and "{'reason': 'boom'}" in details
        assert "arguments" in details.lower() and "return value\nNone" in details.lower().replace("none", "None")
        # The caller is a link that selects it.
        browser.find_element("link text", "__main__.main").click()
        wait_for(browser, "return (nefaViewer.selected() || {}).name === '__main__.main'")
        assert browser.execute_script("return nefaViewer.selected()")["name"] == "__main__.main"
        assert browser.find_element("id", "details").text.upper().split("RETURN VALUE")[1].strip() == "9"

    def test_wheel_zooms_and_drag_pans(self, browser, page):
        from selenium.webdriver.common.action_chains import ActionChains

        open_page(browser, page)
        canvas = browser.find_element("id", "canvas")
        whole = browser.execute_script("return nefaViewer.view()")
        ActionChains(browser).scroll_to_element(canvas).perform()
        browser.execute_script("""
            const canvas = document.getElementById("canvas");
            const box = canvas.getBoundingClientRect();
            canvas.dispatchEvent(new WheelEvent("wheel", {deltaY: -400, clientX: box.left + box.width / 2,
                                                           clientY: box.top + 100, bubbles: true, cancelable: true}));
        """)
        zoomed = browser.execute_script("return nefaViewer.view()")
        assert zoomed["t1"] - zoomed["t0"] < (whole["t1"] - whole["t0"]) / 2
        assert zoomed["t0"] > whole["t0"] and zoomed["t1"] < whole["t1"]
        ActionChains(browser).move_to_element(canvas).click_and_hold().move_by_offset(200, 0).release().perform()
        panned = browser.execute_script("return nefaViewer.view()")
        assert panned["t0"] < zoomed["t0"]
        assert panned["t1"] - panned["t0"] == pytest.approx(zoomed["t1"] - zoomed["t0"])

    def test_search(self, browser, page):
        open_page(browser, page)
        browser.find_element("id", "search").send_keys("fib")
        wait_for(browser, "return document.getElementById('search-count').textContent === '9 matches'")
        results = browser.find_elements("css selector", "#result-list a")
        assert len(results) == 9 and {result.text for result in results} == {"__main__.fib"}
        results[1].click()
        wait_for(browser, "return (nefaViewer.selected() || {}).name === '__main__.fib'")
        assert browser.execute_script("return nefaViewer.selected().name") == "__main__.fib"
        assert browser.find_element("id", "detail-name").text == "__main__.fib"

    def test_lays_out_a_window_as_the_server_does(self, browser, page, recorded):
        open_page(browser, page)
        with indexed(*recorded) as trace:
            views = TraceViews(trace)
            try:
                summary = views.summary()
                total = summary["trace"]["duration"]
                rows = [[thread["id"], [0, thread["depths"]]] for thread in summary["threads"]]
                for t0, t1, width in ((0, total, 900), (total * 0.3, total * 0.32, 1200), (0, total, 40)):
                    served = json.loads(views.window(t0, t1, width, {key: range(*depths) for key, depths in rows}))
                    shown = browser.execute_script(
                        "return nefaSource.window(arguments[0], arguments[1], arguments[2], new Map(arguments[3]))",
                        t0,
                        t1,
                        width,
                        rows,
                    )
                    assert [thread["id"] for thread in shown["threads"]] == [
                        thread["id"] for thread in served["threads"]
                    ]
                    for mine, theirs in zip(shown["threads"], served["threads"]):
                        assert flat(mine["events"]) == pytest.approx(flat(theirs["events"]))
                        assert [row["depth"] for row in mine["rows"]] == [row["depth"] for row in theirs["rows"]]
                        for row, expected in zip(mine["rows"], theirs["rows"]):
                            assert [call[0] for call in row["calls"]] == [call[0] for call in expected["calls"]]
                            assert flat(row["blocks"]) == pytest.approx(flat(expected["blocks"]))
            finally:
                views.close()

    def test_plugin_records_are_marked(self, browser, shop, tmp_path):
        page = write_page(shop, "trc_01SHOP", tmp_path / "shop.html")
        open_page(browser, page)
        assert browser.execute_script("return nefaViewer.eventCount") == 1
        assert browser.execute_script("return nefaViewer.stats.markers") == 1

    def test_hundred_thousand_records(self, browser, synthetic, store, tmp_path):
        database = store("trc_synthetic", synthetic(100_000))
        trace = load_trace(database, "trc_synthetic")
        assert trace.record_count >= 99_000
        page = write_page(database, "trc_synthetic", tmp_path / "big.html")
        # Compact enough to open: well under the raw trace's size in JSON.
        assert page.stat().st_size < 30 * 1024 * 1024
        open_page(browser, page)
        frames = sum(1 for _ in trace.frames())
        assert browser.execute_script("return nefaViewer.frameCount") == frames
        stats = browser.execute_script("return nefaViewer.stats")
        assert stats["draws"] >= 1 and 0 < stats["rects"] < frames
        assert browser.execute_script("return nefaViewer.search('compute')") == sum(
            1 for frame in trace.frames() if frame.co_name == "compute"
        )


def _form(code, payload):
    return msgpack.ExtType(code, msgpack.packb(payload))


def test_value_forms_reach_the_page_tagged(records, pack, store):
    thread = records()
    frame_id = thread.call(
        "app.f",
        0.0,
        locals={"pair": _form(1, [1, 2]), "big": _form(10, "1" * 30), "whole": 2.0, "odd": {"$form": "not a form"}},
    )
    thread.ret("app.f", 0.1, frame_id, value=_form(11, [_form(1, [2, 3]), "b", _form(6, 4)]))
    with indexed(store("trc_test", pack(thread)), "trc_test") as trace:
        _, values = page_data(trace)
    ((_, frame),) = values.items()
    arguments, returned = frame["values"]["arguments"], frame["values"]["returned"]
    assert arguments == {
        "pair": {"$form": "tuple", "items": [1, 2]},
        "big": {"$form": "text", "text": "1" * 30},
        "whole": {"$form": "text", "text": "2.0"},
        # A dict that only looks like a form stays a dict.
        "odd": {"$form": "dict", "pairs": [["$form", "not a form"]]},
    }
    assert returned == {"$form": "dict", "pairs": [[{"$form": "tuple", "items": [2, 3]}, "b"]], "more": 4}


def test_value_forms_render_in_the_browser(browser, records, pack, store, tmp_path):
    thread = records()
    frame_id = thread.call(
        "app.forms",
        0.0,
        locals={
            "pair": _form(1, [1, 2]),
            "one": _form(1, ["x"]),
            "obj": _form(4, ["Foo", "Foo(1)"]),
            "text": "Foo(1)",
            "cut": _form(5, ["abc", 997]),
            "empty": _form(2, []),
            "frozen": _form(3, [1]),
            "keyed": _form(11, [_form(1, [2, 3]), "b", 1, "a"]),
            "many": [1, 2, _form(6, 3)],
            "quote": "it's",
            "elided": _form(7, ["list", 5]),
        },
    )
    thread.ret("app.forms", 0.1, frame_id, value=_form(4, ["Foo", "Foo(1)"]))
    page = write_page(store("trc_test", pack(thread)), "trc_test", tmp_path / "forms.html")
    open_page(browser, page)
    assert browser.execute_script("return nefaViewer.reveal('app.forms')")
    wait_for(browser, "return nefaViewer.idle()")
    where = browser.execute_script("return nefaViewer.locate('app.forms')")
    click_at(browser, where["x"], where["y"])
    wait_for(browser, "return document.getElementById('detail-name') !== null")
    details = browser.find_element("id", "details").text
    for shown in (
        "'pair': (1, 2)",
        "'one': ('x',)",
        "'obj': Foo(1)",
        "'text': 'Foo(1)'",
        "'cut': 'abc…' (+997 chars)",
        "'empty': set()",
        "'frozen': frozenset({1})",
        "'keyed': {(2, 3): 'b', 1: 'a'}",
        "'many': [1, 2, … (+3 more)]",
        "'quote': \"it's\"",
        "'elided': <list of 5 items>",
    ):
        assert shown in details, shown
    assert details.upper().split("RETURN VALUE")[1].strip() == "FOO(1)"


# ------------------------------------------------------- served, in a browser


def open_served(driver, server):
    driver.get_log("browser")  # what earlier pages left
    driver.get(server.url)
    wait_for(driver, "return window.nefaViewer && nefaViewer.ready && nefaViewer.idle()")
    errors = [
        entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE" and "favicon" not in entry["message"]
    ]
    assert errors == []


def wheel(driver, delta):
    driver.execute_script(
        """
        const canvas = document.getElementById("canvas");
        const box = canvas.getBoundingClientRect();
        canvas.dispatchEvent(new WheelEvent("wheel", {deltaY: arguments[0], clientX: box.left + box.width / 2,
                                                       clientY: box.top + 100, bubbles: true, cancelable: true}));
    """,
        delta,
    )
    wait_for(driver, "return nefaViewer.idle()")


class TestServedInBrowser:
    def test_the_forwarding_page_of_open_reaches_the_viewer(self, browser, serve, shop):
        from nefa.traces.server import forwarding_page

        server = serve(shop, "trc_01SHOP")
        page = forwarding_page(server.url)
        try:
            browser.get(page.as_uri())
            wait_for(browser, "return window.nefaViewer && nefaViewer.ready")
            assert browser.current_url == server.url
        finally:
            shutil.rmtree(page.parent)

    def test_paints_zooms_shows_values_and_searches(self, browser, serve, recorded):
        open_served(browser, serve(*recorded))
        assert browser.execute_script("return nefaViewer.stats.rects") > 0 and painted_pixels(browser) > 1000
        assert "program.py" in browser.find_element("id", "trace-info").text
        whole = browser.execute_script("return nefaViewer.view()")
        asked = browser.execute_script("return nefaViewer.stats.requests")
        wheel(browser, -400)
        zoomed = browser.execute_script("return nefaViewer.view()")
        assert zoomed["t1"] - zoomed["t0"] < (whole["t1"] - whole["t0"]) / 2
        # A closer look is asked for, at the new scale.
        assert browser.execute_script("return nefaViewer.stats.requests") > asked
        shown = browser.execute_script("return nefaViewer.shown()")
        assert shown["t0"] <= zoomed["t0"] and shown["t1"] >= zoomed["t1"]
        assert browser.execute_script("return nefaViewer.reveal('__main__.fail')")
        wait_for(browser, "return nefaViewer.idle()")
        where = browser.execute_script("return nefaViewer.locate('__main__.fail')")
        click_at(browser, where["x"], where["y"])
        wait_for(browser, "return document.getElementById('detail-name') !== null")
        details = browser.find_element("id", "details").text
        assert browser.find_element("id", "detail-name").text == "__main__.fail"
        assert "program.py:8" in details and "{'reason': 'boom'}" in details
        browser.find_element("link text", "__main__.main").click()
        wait_for(browser, "return (nefaViewer.selected() || {}).name === '__main__.main'")
        assert browser.find_element("id", "details").text.upper().split("RETURN VALUE")[1].strip() == "9"
        browser.find_element("id", "search").send_keys("fib")
        wait_for(browser, "return document.getElementById('search-count').textContent === '9 matches'")
        results = browser.find_elements("css selector", "#result-list a")
        assert len(results) == 9 and {result.text for result in results} == {"__main__.fib"}
        results[1].click()
        wait_for(browser, "return (nefaViewer.selected() || {}).name === '__main__.fib'")
        assert browser.find_element("id", "detail-name").text == "__main__.fib"

    def test_a_million_records(self, browser, serve, million):
        from selenium.webdriver.common.action_chains import ActionChains

        open_served(browser, serve(*million))
        width = browser.execute_script("return nefaViewer.shown().width")
        # The server merged what is thinner than a pixel: no row holds more than the width asked.
        assert 0 < browser.execute_script("return nefaViewer.densest()") <= width + 1
        assert painted_pixels(browser) > 10_000
        # Only the rows on screen (and a few more) are asked for: the last
        # thread's come once it is scrolled into view.
        (*_, (last, held)) = browser.execute_script("return nefaViewer.held()")
        assert held == []
        canvas = browser.find_element("id", "canvas")
        ActionChains(browser).move_to_element_with_offset(canvas, 0, 300).click_and_hold().move_by_offset(
            0, -600
        ).release().perform()
        wait_for(browser, "return nefaViewer.idle()")
        held = dict(browser.execute_script("return nefaViewer.held()"))
        assert held[last] and held[last] == sorted(held[last])
        assert browser.execute_script("return nefaViewer.view().y") > 0
        ActionChains(browser).move_to_element_with_offset(canvas, 0, -300).click_and_hold().move_by_offset(
            0, 600
        ).release().perform()
        wait_for(browser, "return nefaViewer.idle() && nefaViewer.view().y === 0")
        for _ in range(4):
            wheel(browser, -800)
        assert browser.execute_script("return nefaViewer.stats.labels") > 0
        name = browser.execute_script("""
            for (const name of ["shop.mod0.Service0.handle_0", "shop.mod1.Service1.handle_1"]) {
                if (nefaViewer.locate(name)) return name;
            }
            return null;
        """)
        where = browser.execute_script("return nefaViewer.locate(arguments[0])", name)
        click_at(browser, where["x"], where["y"])
        wait_for(browser, "return document.getElementById('detail-name') !== null")
        details = browser.find_element("id", "details").text
        assert browser.find_element("id", "detail-name").text == name and "<Service" in details
        total = browser.execute_script("return nefaViewer.search('handle_17')")
        # handle_17, handle_170 ... handle_179: 11 of the 200 functions, all called.
        assert browser.find_element("id", "search-count").text == f"{total} matches" and total > 1000
        assert len(browser.find_elements("css selector", "#result-list a")) == 200
