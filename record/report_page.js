// The report page's charts, drawn from the run's data in #run-data. Built
// into ostrela_report (see CMakeLists.txt).
const run = JSON.parse(document.getElementById("run-data").textContent);
const drawn = { id: "drawn", afterRender(c) { c.canvas.dataset.drawn = c.data.datasets.length + " datasets"; } };
const phaseColours = ["#999", "#8ab", "#fb4", "#4a4", "#c8c", "#c44"];
const phaseNames = ["other", "INIT", "WARM", "RUN", "PRE-WARM", "CLEANUP"];
const lineColours = ["#36c", "#e63", "#2a2", "#a3c"];
const xy = (series) => series.map((p) => ({ x: p[0], y: p[1] }));
const seconds = { type: "linear", title: { display: true, text: "seconds into the run" } };
function lines(id, sets, yTitle) {
  return new Chart(document.getElementById(id), {
    type: "line", plugins: [drawn],
    data: { datasets: sets.map((s, i) => ({ label: s[0], data: xy(s[1]), stepped: true, pointRadius: 0, borderWidth: 1.5,
                                           borderColor: lineColours[i], backgroundColor: lineColours[i] })) },
    options: { animation: false, maintainAspectRatio: false, parsing: true, spanGaps: false,
               scales: { x: seconds, y: { title: { display: true, text: yTitle } } } } });
}
if (typeof Chart !== "undefined") {
  lines("total", [["requested", run.total.req], ["current", run.total.cur]], "operations per second");
  const select = document.getElementById("client");
  run.clients.forEach((c, i) => select.add(new Option("client " + i, String(i))));
  let rates = null, latency = null;
  function showClient(i) {
    if (rates) rates.destroy();
    if (latency) latency.destroy();
    const c = run.clients[i];
    if (!c) return;
    rates = lines("rates", [["requested", c.req], ["current", c.cur]], "operations per second");
    latency = lines("latency", [["rt", c.rt], ["wt", c.wt]], "latency");
  }
  select.addEventListener("change", () => showClient(Number(select.value)));
  showClient(0);
  document.getElementById("phase-box").style.height = Math.max(200, 40 + 18 * run.clients.length) + "px";
  new Chart(document.getElementById("phases"), {
    type: "bar", plugins: [drawn],
    data: { labels: run.clients.map((c, i) => "client " + i),
            datasets: phaseNames.map((name, p) => ({ label: name, backgroundColor: phaseColours[p], grouped: false,
              data: run.phases.filter((s) => s[3] === p).map((s) => ({ y: "client " + s[0], x: [s[1], s[2]] })) })) },
    options: { indexAxis: "y", animation: false, maintainAspectRatio: false,
               scales: { x: Object.assign({ min: 0 }, seconds), y: { type: "category" } } } });
}
