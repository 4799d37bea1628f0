// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/gui/GSensorGraphFeed.h"

#include <algorithm>
#include <vector>

GSensorGraph SetUpGSensorGraph(CGraphStatic& graph) {
  graph.SetRange(200, 50);
  graph.SetXStep(13);
  graph.ShowGrid(1);
  GSensorGraph g;
  g.graph = &graph;
  g.x = graph.AddSeries(wxColour(0, 0, 255), 1);
  g.y = graph.AddSeries(wxColour(255, 255, 0), 1);
  g.z = graph.AddSeries(wxColour(255, 0, 0), 1);
  return g;
}

bool UpdateGSensorGraph(GSensorGraph& g, const CTextData& store, std::int64_t positionSeconds) {
  if (g.graph == nullptr) return false;
  const int count = store.GSensorCount();
  if (count == 0) return false;
  const int n = int(std::min<std::int64_t>(positionSeconds, count));
  if (n == g.shown) return false;
  g.shown = n;
  g.graph->ClearSeries(g.x);
  g.graph->ClearSeries(g.y);
  g.graph->ClearSeries(g.z);
  // One copy under the store's lock; the worker only appends, so it holds at least n samples.
  const std::vector<CGSensorData> samples = store.GSensorSamples();
  const int last = std::min<int>(n, int(samples.size()));
  // Each value would redraw and repaint the whole graph (3 x n times a feed, seconds of work an
  // hour into a recording); drawn once at the end the picture is the same.
  CGraphStatic::DeferRedraw once(*g.graph);
  for (int i = 0; i < last; ++i) {
    g.graph->AddValue(g.x, samples[i].x + kGraphOffsetX);
    g.graph->AddValue(g.y, samples[i].y + kGraphOffsetY);
    g.graph->AddValue(g.z, samples[i].z + kGraphOffsetZ);
  }
  return true;
}

void ResetGSensorGraph(GSensorGraph& g) {
  g.shown = 0;
  if (g.graph == nullptr) return;
  g.graph->ClearSeries(g.x);
  g.graph->ClearSeries(g.y);
  g.graph->ClearSeries(g.z);
}

void RestGSensorGraph(GSensorGraph& g) {
  ResetGSensorGraph(g);
  if (g.graph == nullptr) return;
  CGraphStatic::DeferRedraw once(*g.graph);
  g.graph->AddValue(g.x, kGraphOffsetX);
  g.graph->AddValue(g.y, kGraphOffsetY);
  g.graph->AddValue(g.z, kGraphOffsetZ);
}
