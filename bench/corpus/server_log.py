#!/usr/bin/env python3
"""server_log.py OUT

Writes the corpus's web server access log: 100,000 lines in the combined log
format plus a response time, for March 2024 on an imaginary shop. Every value
comes from one splitmix64 stream with a fixed seed, drawn in a fixed order, so
the file is the same on every machine and Python version; changing the order
of any draw below changes every byte after it.
"""
import sys

MASK = (1 << 64) - 1


class SplitMix64:
    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n

    def skew(self, n, power=3):
        # u in [0, 1) from the top 53 bits; u ** power crowds the picks
        # toward index 0 (a few popular items, a long tail).
        u = (self.next() >> 11) / float(1 << 53)
        return min(n - 1, int(n * u ** power))


WORDS = """apple banana cable desk engine filter garden harbor island jacket kettle lamp
marble needle orange pencil quartz rocket saddle table umbrella violin wagon
yellow zipper anchor basket candle dragon eagle feather guitar hammer iron jungle
kite ladder mirror nest oven piano quilt ribbon shovel tiger unicorn vase window
blue red green black white silver gold large small mini pro max classic modern
wireless leather wooden steel cotton organic vintage portable outdoor kitchen""".split()

AGENTS = [
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:122.0) Gecko/20100101 Firefox/122.0",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.2 Safari/605.1.15",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.2 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (Linux; Android 14; Pixel 7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.6099.144 Mobile Safari/537.36",
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/119.0.0.0 Safari/537.36",
    "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
    "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)",
    "curl/7.88.1",
    "python-requests/2.31.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36 Edg/120.0.2210.91",
    "Prometheus/2.48.1",
]

# Anonymous visitors outnumber the logged-in ones 40 to 8.
USERS = ["-"] * 40 + ["alice", "bob", "carol", "dave", "erin", "frank", "grace", "heidi"]

MONTH_NAMES = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
MONTH_DAYS = [31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]   # 2024 is a leap year
LINES = 100000
SEED = 20240301


def generate(rng):
    # Fixed tables first: client addresses, the static assets and their sizes.
    clients = []
    for _ in range(4000):
        a = 1 + rng.below(223)
        b = rng.below(256)
        c = rng.below(256)
        d = 1 + rng.below(254)
        clients.append("%d.%d.%d.%d" % (a, b, c, d))
    css = "/static/css/main.%08x.css" % rng.below(1 << 32)
    app = "/static/js/app.%08x.js" % rng.below(1 << 32)
    vendor = "/static/js/vendor.%08x.js" % rng.below(1 << 32)
    assets = [css, app, vendor, "/favicon.ico", "/robots.txt",
              "/static/fonts/inter-400.woff2", "/static/img/logo.svg", "/static/img/hero.webp"]
    asset_size = {}
    for path in assets:
        asset_size[path] = 300 + rng.below(400000)

    def popular_word():
        return WORDS[rng.skew(len(WORDS), 2)]

    def words(sep):
        count = 1 + rng.below(3)
        return sep.join(popular_word() for _ in range(count))

    def product_id():
        return 1000 + rng.skew(50000)

    # Each request kind draws its path, then its body size, then its time in ms.
    def static_file():
        path = assets[rng.skew(len(assets), 2)]
        return "GET", path, asset_size[path], 1 + rng.below(5)

    def product_page():
        name = words("-")
        path = "/product/%s-%d" % (name, product_id())
        return "GET", path, 18000 + rng.below(9000), 20 + rng.below(200)

    def search():
        query = words("+")
        page = "" if rng.below(4) else "&page=%d" % (2 + rng.below(9))
        return "GET", "/search?q=" + query + page, 9000 + rng.below(30000), 40 + rng.below(400)

    def product_api():
        path = "/api/v1/products/%d" % product_id()
        return "GET", path, 400 + rng.below(3000), 3 + rng.below(60)

    def cart_api():
        path = "/api/v1/users/%d/cart" % (1 + rng.skew(200000))
        return "GET", path, 100 + rng.below(1500), 3 + rng.below(40)

    def add_to_cart():
        return "POST", "/api/v1/cart/items", 60 + rng.below(200), 10 + rng.below(90)

    def product_image():
        pid = product_id()
        path = "/images/products/%d/%d.jpg" % (pid, 1 + rng.below(6))
        return "GET", path, 20000 + rng.below(200000), 2 + rng.below(20)

    def order():
        return "POST", "/api/v1/orders", 300 + rng.below(900), 80 + rng.below(900)

    def home():
        return "GET", "/", 24500 + rng.below(300), 15 + rng.below(80)

    def metrics():
        return "GET", "/metrics", 51000 + rng.below(4000), 1 + rng.below(5)

    def login():
        return "POST", "/login", 80 + rng.below(100), 50 + rng.below(300)

    # (upper bound of a draw below 100, kind): 30% static files, 15% product pages, ...
    kinds = [(30, static_file), (45, product_page), (55, search), (70, product_api),
             (78, cart_api), (84, add_to_cart), (88, product_image), (91, order),
             (94, home), (97, metrics), (100, login)]

    def request():
        pick = rng.below(100)
        for bound, kind in kinds:
            if pick < bound:
                return kind()

    def status_of(method, path):
        pick = rng.below(1000)
        if pick < 40:
            return 404
        if pick < 48:
            return 500 if path.startswith("/api") else 503
        if pick < 60:
            return 302 if method == "GET" else 401
        if pick < 130 and path.startswith("/static"):
            return 304
        if method == "POST" and (path.endswith("items") or path.endswith("orders")):
            return 201
        return 200

    def timestamp(seconds):
        day, rest = divmod(seconds, 86400)
        month, mday = 2, day + 1            # the log starts on 1 March
        while mday > MONTH_DAYS[month]:
            mday -= MONTH_DAYS[month]
            month += 1
        return "%02d/%s/2024:%02d:%02d:%02d +0000" % (
            mday, MONTH_NAMES[month], rest // 3600, rest // 60 % 60, rest % 60)

    clock = 0
    for _ in range(LINES):
        clock += rng.skew(3, 2)             # 0, 1 or 2 seconds between requests
        when = timestamp(clock)
        method, path, size, ms = request()
        status = status_of(method, path)
        if status in (302, 304, 401):
            size = 0
        elif status in (404, 500, 503):
            size = 150 + rng.below(50)      # a short error page
        client = clients[rng.skew(len(clients))]
        agent = AGENTS[rng.skew(len(AGENTS), 2)]
        if rng.below(3) == 0:
            referrer = "-"
        elif rng.below(2):
            referrer = "https://shop.example.com/"
        else:
            referrer = "https://shop.example.com/search?q=" + WORDS[rng.below(len(WORDS))]
        user = USERS[rng.below(len(USERS))]
        yield '%s - %s [%s] "%s %s HTTP/1.1" %d %d "%s" "%s" %d.%03d\n' % (
            client, user, when, method, path, status, size, referrer, agent, ms // 1000, ms % 1000)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: server_log.py OUT")
    with open(sys.argv[1], "w", encoding="ascii", newline="\n") as out:
        out.writelines(generate(SplitMix64(SEED)))


if __name__ == "__main__":
    main()
