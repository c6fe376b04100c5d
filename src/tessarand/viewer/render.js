// Draws the viewer message inlined in the page: every leaf of the scene tree
// becomes prisms (its polygons extruded by the leaf's height, standing at the
// leaf's z) and each of its placements one instance of a single geometry.

import * as THREE from "three";
import { TrackballControls } from "three/trackball";
import { OrbitControls } from "three/orbit";

// Above this many edge segments (outline segments times placements) edges are
// left out: they cannot be instanced as cheaply as faces and would slow a big
// layout down.
const EDGE_BUDGET = 4e6;
// Outline vertices turning by more than this (radians) get a vertical edge;
// smooth curves, drawn with many short segments, do not.
const CORNER_TURN = 0.5;
const IDENTITY = new Float32Array([1, 0, 0, 0, 1, 0]);

const message = JSON.parse(document.getElementById("message").textContent);
const config = message.config || {};
const data = message.data || {};
// What the host adds beside the message: opacity per layer name.
const page = JSON.parse(document.getElementById("page").textContent || "{}");
const layerOpacity = page.opacity || {};

// ---------------------------------------------------------------- buffers

// A buffer description of the message: base64 of little-endian float32 values.
function decodeFloats(buffer) {
  if (buffer.dtype !== "float32" || buffer.codec !== "b64") {
    throw new Error(`unsupported buffer: ${buffer.dtype} in ${buffer.codec}`);
  }
  const text = atob(buffer.buffer);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  return new Float32Array(bytes.buffer);
}

// ---------------------------------------------------------------- polygons

function signedArea(ring) {
  let area = 0;
  for (let i = 0, n = ring.length / 2; i < n; i++) {
    const j = (i + 1) % n;
    area += ring[2 * i] * ring[2 * j + 1] - ring[2 * j] * ring[2 * i + 1];
  }
  return area / 2;
}

// Rings come in either orientation; the prism code wants counter-clockwise.
function counterClockwise(ring) {
  if (signedArea(ring) >= 0) return ring;
  const n = ring.length / 2;
  const out = new Float32Array(ring.length);
  for (let i = 0; i < n; i++) {
    out[2 * i] = ring[2 * (n - 1 - i)];
    out[2 * i + 1] = ring[2 * (n - 1 - i) + 1];
  }
  return out;
}

function turn(ring, i) {
  const n = ring.length / 2, p = (i + n - 1) % n, q = (i + 1) % n;
  const ax = ring[2 * i] - ring[2 * p], ay = ring[2 * i + 1] - ring[2 * p + 1];
  const bx = ring[2 * q] - ring[2 * i], by = ring[2 * q + 1] - ring[2 * i + 1];
  return Math.atan2(ax * by - ay * bx, ax * bx + ay * by);
}

// Cap triangles of a counter-clockwise ring as index triples. Most layout
// polygons are convex (rectangles above all) and take a fan; the rest go
// through three.js's ear clipping.
function triangulate(ring) {
  const n = ring.length / 2;
  const triangles = [];
  let convex = true;
  for (let i = 0; i < n && convex; i++) convex = turn(ring, i) >= 0;
  if (convex) {
    for (let i = 1; i < n - 1; i++) triangles.push(0, i, i + 1);
    return triangles;
  }
  const contour = [];
  for (let i = 0; i < n; i++) contour.push(new THREE.Vector2(ring[2 * i], ring[2 * i + 1]));
  for (const [a, b, c] of THREE.ShapeUtils.triangulateShape(contour, [])) {
    const cross = (ring[2 * b] - ring[2 * a]) * (ring[2 * c + 1] - ring[2 * a + 1]) -
                  (ring[2 * b + 1] - ring[2 * a + 1]) * (ring[2 * c] - ring[2 * a]);
    if (cross >= 0) triangles.push(a, b, c); else triangles.push(a, c, b);
  }
  return triangles;
}

// ---------------------------------------------------------------- geometry

// One indexed geometry for all prisms of a leaf: for every ring a bottom and a
// top cap and a flat-shaded wall (four vertices per edge, so normals are sharp).
function prismGeometry(rings, height) {
  const caps = rings.map(triangulate);
  let vertexCount = 0, indexCount = 0;
  rings.forEach((ring, k) => {
    vertexCount += 3 * ring.length;
    indexCount += 2 * caps[k].length + 3 * ring.length;
  });
  const position = new Float32Array(3 * vertexCount);
  const normal = new Float32Array(3 * vertexCount);
  const index = new Uint32Array(indexCount);
  let v = 0, t = 0;
  const vertex = (x, y, z, nx, ny, nz) => {
    position[3 * v] = x; position[3 * v + 1] = y; position[3 * v + 2] = z;
    normal[3 * v] = nx; normal[3 * v + 1] = ny; normal[3 * v + 2] = nz;
    return v++;
  };
  rings.forEach((ring, k) => {
    const n = ring.length / 2, bottom = v;
    for (let i = 0; i < n; i++) vertex(ring[2 * i], ring[2 * i + 1], 0, 0, 0, -1);
    const top = v;
    for (let i = 0; i < n; i++) vertex(ring[2 * i], ring[2 * i + 1], height, 0, 0, 1);
    const cap = caps[k];
    for (let j = 0; j < cap.length; j += 3) {
      index.set([top + cap[j], top + cap[j + 1], top + cap[j + 2]], t);
      index.set([bottom + cap[j], bottom + cap[j + 2], bottom + cap[j + 1]], t + 3);
      t += 6;
    }
    for (let i = 0; i < n; i++) {
      const j = (i + 1) % n;
      const x0 = ring[2 * i], y0 = ring[2 * i + 1], x1 = ring[2 * j], y1 = ring[2 * j + 1];
      const length = Math.hypot(x1 - x0, y1 - y0) || 1;
      const nx = (y1 - y0) / length, ny = (x0 - x1) / length;  // outward on a ccw ring
      const a = vertex(x0, y0, 0, nx, ny, 0), b = vertex(x1, y1, 0, nx, ny, 0);
      const c = vertex(x1, y1, height, nx, ny, 0), d = vertex(x0, y0, height, nx, ny, 0);
      index.set([a, b, c, a, c, d], t);
      t += 6;
    }
  });
  const geometry = new THREE.BufferGeometry();
  geometry.setAttribute("position", new THREE.BufferAttribute(position, 3));
  geometry.setAttribute("normal", new THREE.BufferAttribute(normal, 3));
  geometry.setIndex(new THREE.BufferAttribute(index, 1));
  return geometry;
}

// A mirroring placement turns the triangles' winding around, so mirrored
// instances get the same vertices with every triangle listed the other way.
function reversedGeometry(geometry) {
  const index = geometry.index.array.slice();
  for (let i = 0; i < index.length; i += 3) [index[i + 1], index[i + 2]] = [index[i + 2], index[i + 1]];
  const reversed = new THREE.BufferGeometry();
  reversed.setAttribute("position", geometry.getAttribute("position"));
  reversed.setAttribute("normal", geometry.getAttribute("normal"));
  reversed.setIndex(new THREE.BufferAttribute(index, 1));
  return reversed;
}

// Line segments of the outlines at the bottom and the top, and vertical
// edges at corners.
function edgeSegments(rings, height) {
  const points = [];
  for (const ring of rings) {
    const n = ring.length / 2;
    for (let i = 0; i < n; i++) {
      const j = (i + 1) % n;
      const x0 = ring[2 * i], y0 = ring[2 * i + 1], x1 = ring[2 * j], y1 = ring[2 * j + 1];
      points.push(x0, y0, 0, x1, y1, 0, x0, y0, height, x1, y1, height);
      if (Math.abs(turn(ring, i)) > CORNER_TURN) points.push(x0, y0, 0, x0, y0, height);
    }
  }
  return new Float32Array(points);
}

// ---------------------------------------------------------------- leaves

// Placement k of a leaf as a column-major 4x4 matrix at `out[offset]`.
function writeMatrix(out, offset, matrices, k) {
  const [a, b, tx, c, d, ty] = matrices.subarray(6 * k, 6 * k + 6);
  out.set([a, c, 0, 0, b, d, 0, 0, 0, 0, 1, 0, tx, ty, 0, 1], offset);
}

function instancedMesh(geometry, material, matrices, placements) {
  const mesh = new THREE.InstancedMesh(geometry, material, placements.length);
  placements.forEach((k, i) => writeMatrix(mesh.instanceMatrix.array, 16 * i, matrices, k));
  // The geometry's own bounds say nothing about where the instances are.
  mesh.frustumCulled = false;
  return mesh;
}

const edgeMaterial = new THREE.ShaderMaterial({
  uniforms: { color: { value: new THREE.Color(config.black_edges ? "#000000" : config.default_edgecolor || "#707070") } },
  // Each instance reads its placement straight from the message's six numbers.
  vertexShader: `
    attribute vec3 rowX;
    attribute vec3 rowY;
    void main() {
      vec3 xy1 = vec3(position.xy, 1.0);
      vec3 placed = vec3(dot(rowX, xy1), dot(rowY, xy1), position.z);
      gl_Position = projectionMatrix * modelViewMatrix * vec4(placed, 1.0);
    }`,
  fragmentShader: `
    uniform vec3 color;
    void main() { gl_FragColor = vec4(color, 1.0); }`,
});

function instancedEdges(segments, matrices) {
  const geometry = new THREE.InstancedBufferGeometry();
  geometry.setAttribute("position", new THREE.BufferAttribute(segments, 3));
  const rows = new THREE.InstancedInterleavedBuffer(matrices, 6, 1);
  geometry.setAttribute("rowX", new THREE.InterleavedBufferAttribute(rows, 3, 0));
  geometry.setAttribute("rowY", new THREE.InterleavedBufferAttribute(rows, 3, 3));
  // The instance count was renamed in later three.js versions.
  if ("instanceCount" in geometry) geometry.instanceCount = matrices.length / 6;
  else geometry.maxInstancedCount = matrices.length / 6;
  const lines = new THREE.LineSegments(geometry, edgeMaterial);
  lines.frustumCulled = false;
  lines.userData.isEdges = true;
  return lines;
}

function leafMaterial(color, name) {
  const opacity = layerOpacity[name] ?? (config.transparent ? config.default_opacity ?? 0.5 : 1);
  return new THREE.MeshStandardMaterial({
    color: new THREE.Color(color || config.default_color || "#e8b024"),
    metalness: config.metalness ?? 0.3,
    roughness: config.roughness ?? 0.65,
    transparent: opacity < 1,
    opacity,
    // Faces step back a little so that edges on them stay visible.
    polygonOffset: true, polygonOffsetFactor: 1, polygonOffsetUnits: 1,
  });
}

// The parts of one leaf: up to two instanced meshes (plain and mirrored
// placements) and its edges. Also grows `scene.bounds`.
function drawLeaf(leaf, scene) {
  const shape = leaf.shape;
  const rings = (shape.refs || []).map(ref => counterClockwise(scene.polygons[ref]));
  const matrices = shape.matrices && shape.matrices.shape[0] ? decodeFloats(shape.matrices) : IDENTITY;
  const count = matrices.length / 6;
  const z = leaf.loc ? leaf.loc[0][2] : 0;
  scene.stats.parts += 1;
  if (!rings.length || !count) return [];

  const plain = [], mirrored = [];
  for (let k = 0; k < count; k++) {
    const m = matrices.subarray(6 * k, 6 * k + 6);
    (m[0] * m[4] - m[1] * m[3] < 0 ? mirrored : plain).push(k);
  }
  const geometry = prismGeometry(rings, shape.height);
  const material = leafMaterial(leaf.color, leaf.name);
  const objects = [];
  if (plain.length) objects.push(instancedMesh(geometry, material, matrices, plain));
  if (mirrored.length) objects.push(instancedMesh(reversedGeometry(geometry), material, matrices, mirrored));
  growBounds(scene.bounds, rings, matrices, z, shape.height);

  const segments = edgeSegments(rings, shape.height);
  scene.edgeCost += (segments.length / 6) * count;
  objects.push(instancedEdges(segments, matrices));
  for (const object of objects) object.position.z = z;
  return objects;
}

function growBounds(bounds, rings, matrices, z, height) {
  let xmin = Infinity, ymin = Infinity, xmax = -Infinity, ymax = -Infinity;
  for (const ring of rings) {
    for (let i = 0; i < ring.length; i += 2) {
      xmin = Math.min(xmin, ring[i]); xmax = Math.max(xmax, ring[i]);
      ymin = Math.min(ymin, ring[i + 1]); ymax = Math.max(ymax, ring[i + 1]);
    }
  }
  // The placed corners of the leaf's bounding rectangle.
  const point = new THREE.Vector3(0, 0, z);
  for (let k = 0; k < matrices.length; k += 6) {
    const a = matrices[k], b = matrices[k + 1], tx = matrices[k + 2];
    const c = matrices[k + 3], d = matrices[k + 4], ty = matrices[k + 5];
    for (let corner = 0; corner < 4; corner++) {
      const x = corner & 1 ? xmax : xmin, y = corner & 2 ? ymax : ymin;
      bounds.expandByPoint(point.set(a * x + b * y + tx, c * x + d * y + ty, z));
    }
  }
  bounds.expandByPoint(point.setZ(z + height));
}

// ---------------------------------------------------------------- scene tree

// Mirrors the message's tree as groups, so hiding a group hides its subtree.
// Returns the node's colour when all its leaves share one (for the panel).
function buildNode(node, parent, scene) {
  const group = new THREE.Group();
  group.name = node.id;
  parent.add(group);
  if (!scene.objects.has(node.id)) scene.objects.set(node.id, []);
  scene.objects.get(node.id).push(group);

  let colors = new Set();
  if (node.shape) {
    for (const object of drawLeaf(node, scene)) group.add(object);
    colors.add(node.color);
  }
  for (const child of node.parts || []) colors.add(buildNode(child, group, scene));
  const color = colors.size === 1 ? [...colors][0] : null;
  scene.panel.set(group, { node, color });
  return color;
}

function buildScene() {
  const scene = {
    root: new THREE.Group(),
    polygons: (data.instances || []).map(decodeFloats),
    objects: new Map(),   // node id -> groups with that id
    panel: new Map(),     // group -> {node, color}
    bounds: new THREE.Box3(),
    edgeCost: 0,
    stats: { parts: 0, polygons: (data.instances || []).length, instances: 0 },
  };
  buildNode(data, scene.root, scene);
  // Counted from what is drawn, not from what the message says.
  scene.root.traverse(object => { if (object.isInstancedMesh) scene.stats.instances += object.count; });
  if (scene.bounds.isEmpty()) scene.bounds.set(new THREE.Vector3(-1, -1, 0), new THREE.Vector3(1, 1, 1));
  return scene;
}

// ---------------------------------------------------------------- tree panel

function treeRow(group, scene, depth, onChange) {
  const { node, color } = scene.panel.get(group);
  const children = group.children.filter(child => scene.panel.has(child));
  const item = document.createElement("div");
  const row = item.appendChild(document.createElement("div"));
  row.className = "row";
  const twisty = row.appendChild(document.createElement("span"));
  twisty.className = "twisty";
  const box = row.appendChild(document.createElement("input"));
  box.type = "checkbox";
  box.checked = true;
  box.dataset.id = node.id;
  box.addEventListener("change", () => { group.visible = box.checked; onChange(); });
  if (color) {
    const swatch = row.appendChild(document.createElement("span"));
    swatch.className = "swatch";
    swatch.style.background = color;
  }
  row.appendChild(document.createElement("span")).textContent = node.name;
  row.title = node.id;
  if (children.length) {
    // Children rows are made on first opening: big layouts have many nodes.
    let list = null;
    const open = (show) => {
      if (show && !list) {
        list = item.appendChild(document.createElement("div"));
        list.className = "children";
        for (const child of children) list.appendChild(treeRow(child, scene, depth + 1, onChange));
      }
      if (list) list.hidden = !show;
      twisty.textContent = show ? "▾" : "▸";
    };
    twisty.addEventListener("click", () => open(list === null || list.hidden));
    open(depth < 1);
  }
  return item;
}

// ---------------------------------------------------------------- view

function makeCamera(aspect) {
  const camera = config.ortho === false
    ? new THREE.PerspectiveCamera(35, aspect, 0.01, 1e7)
    : new THREE.OrthographicCamera(-aspect, aspect, 1, -1, 0.01, 1e7);
  const up = { X: [1, 0, 0], Y: [0, 1, 0] }[config.up] || [0, 0, 1];
  camera.up.set(...up);
  return camera;
}

function makeControls(camera, element) {
  if (config.control === "orbit") {
    const controls = new OrbitControls(camera, element);
    controls.rotateSpeed = config.rotate_speed ?? 1;
    controls.zoomSpeed = config.zoom_speed ?? 1;
    controls.panSpeed = config.pan_speed ?? 1;
    return controls;
  }
  const controls = new TrackballControls(camera, element);
  controls.rotateSpeed = 2 * (config.rotate_speed ?? 1);
  controls.zoomSpeed = 1.2 * (config.zoom_speed ?? 1);
  controls.panSpeed = 0.6 * (config.pan_speed ?? 1);
  return controls;
}

// Looks at the whole scene from the front left, above, the layout's z up.
function resetView(view) {
  const { camera, controls, bounds } = view;
  const center = bounds.getCenter(new THREE.Vector3());
  const radius = Math.max(bounds.getBoundingSphere(new THREE.Sphere()).radius, 1e-3);
  const direction = new THREE.Vector3(-0.6, -1, 1.1).normalize();
  camera.position.copy(center).addScaledVector(direction, 4 * radius);
  camera.up.copy(view.up);
  camera.zoom = 1;
  camera.near = radius / 100;
  camera.far = radius * 100;
  view.radius = radius;
  controls.target.copy(center);
  camera.lookAt(center);
  fitProjection(view);
}

function fitProjection(view) {
  const { camera, renderer, radius } = view;
  const size = renderer.getSize(new THREE.Vector2());
  const aspect = size.x / Math.max(size.y, 1);
  if (camera.isOrthographicCamera) {
    const half = 1.05 * radius;
    Object.assign(camera, { left: -half * aspect, right: half * aspect, top: half, bottom: -half });
  } else {
    camera.aspect = aspect;
  }
  camera.updateProjectionMatrix();
  if (view.controls.handleResize) view.controls.handleResize();
}

function helpers(bounds, radius) {
  const origin = config.axes0 === false ? bounds.getCenter(new THREE.Vector3()) : new THREE.Vector3();
  const axes = new THREE.AxesHelper(radius / 2);
  axes.position.copy(origin);
  axes.visible = !!config.axes;
  const grids = new THREE.Group();
  const [xy, xz, yz] = config.grid || [false, false, false];
  const size = 2 * radius, ticks = config.ticks || 10;
  // GridHelper lies in the x-z plane; turn it into the other two planes.
  const planes = [[xy, [Math.PI / 2, 0, 0]], [xz, [0, 0, 0]], [yz, [0, 0, Math.PI / 2]]];
  for (const [shown, rotation] of planes) {
    const grid = new THREE.GridHelper(size, ticks, 0x999999, 0xdddddd);
    grid.rotation.set(...rotation);
    grid.position.copy(config.center_grid ? bounds.getCenter(new THREE.Vector3()) : origin);
    grid.visible = !!shown;
    grids.add(grid);
  }
  return { axes, grids };
}

function lights(camera) {
  const ambient = new THREE.AmbientLight(0xffffff, 0.5 * (config.ambient_intensity ?? 1));
  // A light that moves with the camera keeps the visible faces lit.
  const headlight = new THREE.DirectionalLight(0xffffff, 0.7 * (config.direct_intensity ?? 1.1));
  headlight.position.set(0.5, 1, 2);
  camera.add(headlight);
  return ambient;
}

// ---------------------------------------------------------------- page

function showCounts(stats, edgesDrawn) {
  const number = (n) => n.toLocaleString("en");
  let text = `${number(stats.parts)} parts · ${number(stats.polygons)} polygons · ` +
             `${number(stats.instances)} placements`;
  if (!edgesDrawn && config.render_edges !== false) text += " · edges off (large scene)";
  document.getElementById("counts").textContent = text;
}

// The renderer, camera, controls and lights around the scene; `view.redraw()`
// asks for a new frame.
function createView(element, scene) {
  const renderer = new THREE.WebGLRenderer({ antialias: true });
  renderer.setPixelRatio(window.devicePixelRatio);
  renderer.setSize(element.clientWidth, element.clientHeight);
  element.prepend(renderer.domElement);

  const camera = makeCamera(element.clientWidth / Math.max(element.clientHeight, 1));
  const view = { camera, renderer, bounds: scene.bounds, up: camera.up.clone(), radius: 1, dirty: true };
  view.redraw = () => { view.dirty = true; };
  view.controls = makeControls(camera, renderer.domElement);
  view.controls.addEventListener("change", view.redraw);
  resetView(view);

  view.world = new THREE.Scene();
  view.world.background = new THREE.Color(0xf2f3f5);
  view.helpers = helpers(scene.bounds, view.radius);
  view.world.add(scene.root, camera, lights(camera), view.helpers.axes, view.helpers.grids);

  new ResizeObserver(() => {
    renderer.setSize(element.clientWidth, element.clientHeight);
    fitProjection(view);
    view.redraw();
  }).observe(element);
  return view;
}

// A check box of the panel: starts as `checked` and calls `apply` on changes.
function checkBox(id, checked, apply) {
  const box = document.getElementById(id);
  box.checked = checked;
  apply(checked);
  box.addEventListener("change", () => apply(box.checked));
}

function setUpPanel(scene, view) {
  const showing = (test) => (on) => {
    scene.root.traverse(object => { if (test(object)) object.visible = on; });
    view.redraw();
  };
  // Edges: on when the settings ask for them and the scene is small enough.
  const edges = config.render_edges !== false && scene.edgeCost <= EDGE_BUDGET;
  checkBox("edges", edges, showing(object => object.userData.isEdges));
  const { axes, grids } = view.helpers;
  checkBox("axes", axes.visible, (on) => { axes.visible = on; view.redraw(); });
  // The box shows the grids chosen in the settings, or the x-y one when none was.
  const chosen = grids.children.filter(grid => grid.visible);
  const gridsShown = chosen.length ? chosen : grids.children.slice(0, 1);
  checkBox("grid", chosen.length > 0, (on) => {
    for (const grid of gridsShown) grid.visible = on;
    view.redraw();
  });
  document.getElementById("reset").addEventListener("click", () => { resetView(view); view.redraw(); });

  document.getElementById("tree").appendChild(treeRow(scene.root.children[0], scene, 0, view.redraw));
  document.getElementById("status").textContent = "drag: rotate · right drag: pan · wheel: zoom";
  showCounts(scene.stats, edges);
}

// Draws only after something changed, so an idle page costs nothing.
function runFrames(view, afterFirst) {
  let first = true;
  const frame = () => {
    requestAnimationFrame(frame);
    view.controls.update();
    if (view.dirty) {
      view.dirty = false;
      view.renderer.render(view.world, view.camera);
    }
    if (first) {
      first = false;
      afterFirst();
    }
  };
  frame();
}

function start() {
  const began = performance.now();
  const scene = buildScene();
  const times = { build: performance.now() - began };
  const view = createView(document.getElementById("view"), scene);
  setUpPanel(scene, view);

  // What a test (or a curious reader at the console) may look at.
  window.show3d = {
    scene: view.world, camera: view.camera, renderer: view.renderer, controls: view.controls,
    stats: scene.stats, objects: scene.objects, redraw: view.redraw, times,
    // Whether the node with this id (every node of that id) is drawn at all.
    shown: (id) => (scene.objects.get(id) || []).every(object => {
      for (let o = object; o; o = o.parent) if (!o.visible) return false;
      return true;
    }),
  };
  runFrames(view, () => {
    times.draw = performance.now() - began - times.build;
    window.show3dStats = scene.stats;
    window.show3dReady = true;
  });
}

try {
  start();
} catch (error) {
  window.show3dError = String(error && error.stack || error);
  const notice = document.getElementById("notice");
  notice.textContent = `The scene could not be drawn: ${error.message || error}`;
  notice.hidden = false;
  throw error;
}
