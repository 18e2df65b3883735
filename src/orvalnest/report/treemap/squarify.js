// Squarified treemap layout (Bruls, Huizing and van Wijk): rows of rectangles
// laid along the shorter side of what is left, a row growing while that keeps
// its worst aspect ratio from getting worse. Pure: numbers in, numbers out.
//
// squarify(values, x, y, w, h) -> Float64Array of 4 * values.length numbers,
// [x, y, w, h] of the i-th value's rectangle. Values must be sorted largest
// first and be >= 0; each rectangle's area is its value's share of w * h.
function squarify(values, x, y, w, h) {
  "use strict";
  const n = values.length;
  const out = new Float64Array(4 * n);
  let total = 0;
  for (let i = 0; i < n; i++) total += values[i];
  if (!(total > 0) || !(w > 0) || !(h > 0)) {
    for (let i = 0; i < n; i++) { out[4 * i] = x; out[4 * i + 1] = y; }
    return out;
  }
  const scale = (w * h) / total;
  let i = 0;
  while (i < n) {
    if (values[i] <= 0) {  // the rest are empty: zero-sized, at the corner left
      for (; i < n; i++) { out[4 * i] = x; out[4 * i + 1] = y; }
      break;
    }
    const side = Math.min(w, h);
    const side2 = side * side;
    const first = values[i] * scale;
    let sum = first, largest = first, smallest = first;
    let worst = Math.max(side2 / first, first / side2);
    let end = i + 1;
    while (end < n && values[end] > 0) {
      const area = values[end] * scale;
      const s = sum + area;
      const lo = Math.min(smallest, area), hi = Math.max(largest, area);
      const ratio = Math.max((side2 * hi) / (s * s), (s * s) / (side2 * lo));
      if (ratio > worst) break;
      sum = s; smallest = lo; largest = hi; worst = ratio; end++;
    }
    // The last row takes exactly what is left, so rounding never leaves a gap
    // or spills out of the parent.
    const last = end === n || values[end] <= 0;
    if (w >= h) {  // a column on the left
      const width = last ? w : Math.min(w, sum / h);
      let cy = y;
      for (let k = i; k < end; k++) {
        const height = k === end - 1 ? y + h - cy : (values[k] * scale) / width;
        out[4 * k] = x; out[4 * k + 1] = cy; out[4 * k + 2] = width; out[4 * k + 3] = height;
        cy += height;
      }
      x += width; w -= width;
    } else {  // a row along the top
      const height = last ? h : Math.min(h, sum / w);
      let cx = x;
      for (let k = i; k < end; k++) {
        const width = k === end - 1 ? x + w - cx : (values[k] * scale) / height;
        out[4 * k] = cx; out[4 * k + 1] = y; out[4 * k + 2] = width; out[4 * k + 3] = height;
        cx += width;
      }
      y += height; h -= height;
    }
    i = end;
  }
  return out;
}
