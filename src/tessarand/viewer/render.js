// Draws the viewer message inlined in the page and answers questions about it.
//
// Every leaf of the scene tree is a set of polygons on one layer, placed many
// times. Leaves that share their placements (one cell on all its layers) form
// a group: one geometry of all their prisms, drawn once per placement by the
// GPU from the placement's six numbers. A group's placements are sorted into
// spatial tiles, each tile drawn at one of three levels of detail: the prisms,
// one box per leaf and placement, or (far below a pixel) one box per leaf over
// the whole tile, stippled by how much of the tile the layer covers. Colour,
// visibility and opacity of every leaf live in a small texture, so hiding a
// layer or a subtree costs no rebuild.

import * as THREE from "three";
import { TrackballControls } from "three/trackball";
import { OrbitControls } from "three/orbit";
import { GLTFExporter } from "three/gltf-exporter";

// A tile holds about this many triangles of prisms (but at least 64 and at
// most 65,536 placements), and a group at most this many tiles.
const TILE_TRIANGLES = 300000;
const GROUP_TILES = 4096;
// Levels of detail, by the size of one placement of a group on the screen
// (pixels): below COARSE_PX the tile is one box per layer, below BOX_PX each
// placement is a box per layer, above it the prisms themselves. While the
// camera moves the thresholds are doubled.
const COARSE_PX = 3;
const BOX_PX = 10;
// Triangles drawn at most in one frame, while the view moves and when it
// rests; a software renderer draws about a million a second.
const MOVING_TRIANGLES = 150000;
const STILL_TRIANGLES = 1500000;
// Edges are drawn only where a typical shape of the group spans this many
// pixels: below it they turn the picture grey.
const EDGE_PX = 12;
// Shapes narrower than this many pixels (a waveguide seen whole) are drawn
// with lines around them too, so that they show, in their colour, however
// thin.
const THIN_PX = 2;
// Those lines are drawn in a still frame, for tiles of at most this many
// segments: a few long waveguides, not the wiring of a whole memory.
const THIN_SEGMENTS = 20000;
// The ruler takes a shape's corner, or else its edge, this close to the cursor.
const SNAP_PX = 8;
// glTF export writes one node per placement; beyond this many it refuses.
const EXPORT_PLACEMENTS = 200000;
const LEAF_TEXTURE_WIDTH = 1024;
// The tree's search lists this many nodes at most.
const SEARCH_RESULTS = 200;
const KIND = { detail: 1, box: 2, coarse: 3 };

const message = JSON.parse(document.getElementById("message").textContent);
const config = message.config || {};
const data = message.data || {};
// What the host adds beside the message: opacity per layer name, and a digest
// of the scene.
const page = JSON.parse(document.getElementById("page").textContent || "{}");
const layerOpacity = page.opacity || {};
// The view is remembered for the scene, not for the file: another layout
// written to the same page opens on its own fitted view.
const settingsKey = "show3d:" + (page.scene || location.pathname);

// ---------------------------------------------------------------- arrays

// The distinct arrays of the message, deflated and base64 encoded in the page.
async function loadArrays() {
  const element = document.getElementById("arrays");
  const text = element ? element.textContent : "";
  if (element) element.remove();
  if (!text) return new ArrayBuffer(0);
  const packed = Uint8Array.fromBase64 ? Uint8Array.fromBase64(text)
    : new Uint8Array(await (await fetch("data:application/octet-stream;base64," + text)).arrayBuffer());
  const stream = new Blob([packed]).stream().pipeThrough(new DecompressionStream("deflate"));
  return new Response(stream).arrayBuffer();
}

// A buffer description of the message: an index into the page's table of
// arrays, or (a page of an older form) base64 text.
function floats(buffer, arrays) {
  if (buffer.dtype !== "float32") throw new Error(`unsupported buffer: ${buffer.dtype}`);
  if (typeof buffer.buffer === "number") {
    const [offset, length] = message.table[buffer.buffer];
    return new Float32Array(arrays, offset, length / 4);
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

function perimeter(ring) {
  let length = 0;
  for (let i = 0, n = ring.length / 2; i < n; i++) {
    const j = (i + 1) % n;
    length += Math.hypot(ring[2 * j] - ring[2 * i], ring[2 * j + 1] - ring[2 * i + 1]);
  }
  return length;
}

// How wide a ring is across: its box's narrow side, or for a thin winding
// shape (a waveguide, a wire) about its width, from its area and perimeter
// (a strip of width w gives 1.5 w, a disk 0.75 of its diameter).
function across(ring, box) {
  const narrow = Math.min(box[2] - box[0], box[3] - box[1]) || Math.max(box[2] - box[0], box[3] - box[1]);
  const length = perimeter(ring);
  return length > 0 ? Math.min(narrow, 3 * Math.abs(signedArea(ring)) / length) || narrow : narrow;
}

function ringBox(ring) {
  const box = [Infinity, Infinity, -Infinity, -Infinity];
  for (let i = 0; i < ring.length; i += 2) {
    box[0] = Math.min(box[0], ring[i]); box[1] = Math.min(box[1], ring[i + 1]);
    box[2] = Math.max(box[2], ring[i]); box[3] = Math.max(box[3], ring[i + 1]);
  }
  return box;
}

// ---------------------------------------------------------------- geometry

// Vertex arrays that grow: position, normal and the leaf and ring numbers.
class Builder {
  constructor() { this.position = []; this.normal = []; this.leaf = []; this.ring = []; this.index = []; }
  vertex(x, y, z, nx, ny, nz, leaf, ring) {
    this.position.push(x, y, z); this.normal.push(nx, ny, nz); this.leaf.push(leaf); this.ring.push(ring);
    return this.leaf.length - 1;
  }
  // Prisms of counter-clockwise rings from z0 to z1: caps and flat-shaded walls.
  prism(ring, caps, z0, z1, leaf, number) {
    const n = ring.length / 2, bottom = this.leaf.length;
    for (let i = 0; i < n; i++) this.vertex(ring[2 * i], ring[2 * i + 1], z0, 0, 0, -1, leaf, number);
    const top = this.leaf.length;
    for (let i = 0; i < n; i++) this.vertex(ring[2 * i], ring[2 * i + 1], z1, 0, 0, 1, leaf, number);
    for (let j = 0; j < caps.length; j += 3) {
      this.index.push(top + caps[j], top + caps[j + 1], top + caps[j + 2]);
      this.index.push(bottom + caps[j], bottom + caps[j + 2], bottom + caps[j + 1]);
    }
    for (let i = 0; i < n; i++) {
      const j = (i + 1) % n;
      const x0 = ring[2 * i], y0 = ring[2 * i + 1], x1 = ring[2 * j], y1 = ring[2 * j + 1];
      const length = Math.hypot(x1 - x0, y1 - y0) || 1;
      const nx = (y1 - y0) / length, ny = (x0 - x1) / length;  // outward on a ccw ring
      const a = this.vertex(x0, y0, z0, nx, ny, 0, leaf, number), b = this.vertex(x1, y1, z0, nx, ny, 0, leaf, number);
      const c = this.vertex(x1, y1, z1, nx, ny, 0, leaf, number), d = this.vertex(x0, y0, z1, nx, ny, 0, leaf, number);
      this.index.push(a, b, c, a, c, d);
    }
  }
  box([x0, y0, x1, y1], z0, z1, leaf, number) {
    this.prism([x0, y0, x1, y0, x1, y1, x0, y1], [0, 1, 2, 0, 2, 3], z0, z1, leaf, number);
  }
  geometry(extra = {}) {
    const geometry = new THREE.BufferGeometry();
    geometry.setAttribute("position", new THREE.Float32BufferAttribute(this.position, 3));
    geometry.setAttribute("normal", new THREE.Float32BufferAttribute(this.normal, 3));
    geometry.setAttribute("leaf", new THREE.Float32BufferAttribute(this.leaf, 1));
    geometry.setAttribute("ring", new THREE.Float32BufferAttribute(this.ring, 1));
    for (const [name, values] of Object.entries(extra)) geometry.setAttribute(name, new THREE.Float32BufferAttribute(values, 1));
    geometry.setIndex(new THREE.BufferAttribute(new Uint32Array(this.index), 1));
    // Once on the graphics card the numbers are not needed here any more
    // (picking and export work from the polygons).
    for (const attribute of [...Object.values(geometry.attributes), geometry.index]) attribute.onUpload(release);
    return geometry;
  }
}

function release() { this.array = null; }

// Outline segments at the bottom and the top, and vertical edges at corners.
function edgeGeometry(group) {
  const position = [], leafOf = [];
  for (const leaf of group.leaves) {
    const z0 = leaf.z, z1 = leaf.z + leaf.height;
    for (const ring of leaf.rings) {
      const n = ring.length / 2;
      for (let i = 0; i < n; i++) {
        const j = (i + 1) % n;
        const x0 = ring[2 * i], y0 = ring[2 * i + 1], x1 = ring[2 * j], y1 = ring[2 * j + 1];
        position.push(x0, y0, z0, x1, y1, z0, x0, y0, z1, x1, y1, z1);
        let count = 4;
        if (Math.abs(turn(ring, i)) > 0.5) { position.push(x0, y0, z0, x0, y0, z1); count += 2; }
        for (let k = 0; k < count; k++) leafOf.push(leaf.index);
      }
    }
  }
  const geometry = new THREE.BufferGeometry();
  geometry.setAttribute("position", new THREE.Float32BufferAttribute(position, 3));
  geometry.setAttribute("leaf", new THREE.Float32BufferAttribute(leafOf, 1));
  return geometry;
}

// ---------------------------------------------------------------- shaders

const shared = {
  leafData: { value: null },
  leafWidth: { value: LEAF_TEXTURE_WIDTH },
  tileState: { value: null },
  zScale: { value: 1 },
  pickPass: { value: 0 },
  pickPixel: { value: new THREE.Vector2() },  // the screen's fragment coordinates of the picked pixel
  highlight: { value: new THREE.Vector3(-1, -1, -1) },  // leaf, placement, ring
  section: { value: new THREE.Vector4(0, 0, 0, 0) },   // normal x, y, offset, on
  edgeColor: { value: new THREE.Color(config.black_edges ? "#000000" : config.default_edgecolor || "#707070") },
};

const vertexShader = `
  precision highp float;
  precision highp int;
  uniform sampler2D leafData;
  uniform int leafWidth;
  uniform float zScale;
  uniform int pickPass;
  uniform vec3 highlight;
  uniform int instanceBase;
  attribute float leaf;
  #ifndef EDGES
  attribute float ring;
  #endif
  #ifdef INSTANCED
  attribute vec3 rowX;
  attribute vec3 rowY;
  #endif
  #ifdef COARSE
  uniform sampler2D tileState;
  attribute float tile;
  attribute float coverage;
  #endif
  varying vec3 vColor;
  varying vec3 vWorld;
  flat varying float vOpacity;
  flat varying float vMirrored;
  flat varying float vMarked;
  flat varying vec4 vPick;

  vec4 leafTexel(int texel) { return texelFetch(leafData, ivec2(texel % leafWidth, texel / leafWidth), 0); }
  vec4 encode(int value, float kind) {
    return vec4(float(value & 255), float((value >> 8) & 255), float((value >> 16) & 255), kind) / 255.0;
  }

  void main() {
    int index = int(leaf + 0.5);
    vec4 look = leafTexel(2 * index);
    bool shown = leafTexel(2 * index + 1).r > 0.5;
    int placement = 0;
    float kind = ${KIND.detail}.0;
    #ifdef INSTANCED
    placement = instanceBase + gl_InstanceID;
    #endif
    #ifdef BOXES
    kind = ${KIND.box}.0;
    #endif
    #ifdef COARSE
    placement = int(tile + 0.5);
    shown = shown && texelFetch(tileState, ivec2(placement % 1024, placement / 1024), 0).r > 0.5;
    kind = ${KIND.coarse}.0;
    #endif
    vMarked = 0.0;
    if (!shown) { gl_Position = vec4(2.0, 2.0, 2.0, 1.0); return; }  // outside the view: dropped

    vec3 point = position;
    vec3 outward = vec3(0.0, 0.0, 1.0);
    float det = 1.0;
    #ifndef EDGES
    outward = normal;
    #endif
    #ifdef INSTANCED
    vec3 xy1 = vec3(position.xy, 1.0);
    point = vec3(dot(rowX, xy1), dot(rowY, xy1), position.z);
    det = rowX.x * rowY.y - rowX.y * rowY.x;
    outward = vec3((rowY.y * outward.x - rowY.x * outward.y) / det,
                   (rowX.x * outward.y - rowX.y * outward.x) / det, outward.z);
    #endif
    point.z *= zScale;
    outward.z /= zScale;
    vWorld = point;
    gl_Position = projectionMatrix * modelViewMatrix * vec4(point, 1.0);
    vMirrored = det < 0.0 ? 1.0 : 0.0;

    vOpacity = look.a;
    #ifdef COARSE
    vOpacity *= coverage;
    #endif
    if (pickPass == 1) vPick = encode(index + 1, kind);
    if (pickPass == 2) vPick = encode(placement, 1.0);

    #ifdef EDGES
    vColor = look.rgb;
    #else
    vec3 seen = normalize(normalMatrix * outward);
    float light = 0.42 + 0.62 * max(dot(seen, normalize(vec3(0.25, 0.45, 1.0))), 0.0);
    vColor = look.rgb * light;
    int number = int(ring + 0.5);
    vMarked = float(index == int(highlight.x) && placement == int(highlight.y) &&
                    (highlight.z < 0.0 || ring < 0.0 || number == int(highlight.z)));
    #endif
  }`;

const fragmentShader = `
  precision highp float;
  uniform int pickPass;
  uniform vec2 pickPixel;
  uniform vec4 section;
  uniform vec3 edgeColor;
  uniform bool ownColor;
  uniform bool flipped;
  varying vec3 vColor;
  varying vec3 vWorld;
  flat varying float vOpacity;
  flat varying float vMirrored;
  flat varying float vMarked;
  flat varying vec4 vPick;

  // Ordered dithering: a fragment is kept where the opacity beats the
  // threshold of its place in a 4 x 4 pattern, so see-through layers need
  // no sorting.
  // A pick draws one pixel of the screen, with the screen's pattern there.
  float threshold() {
    vec2 at = pickPass != 0 ? pickPixel : gl_FragCoord.xy;
    int x = int(mod(at.x, 4.0)), y = int(mod(at.y, 4.0));
    int bayer[16] = int[16](0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5);
    return (float(bayer[4 * y + x]) + 0.5) / 16.0;
  }

  void main() {
    if (section.w > 0.5 && dot(vWorld.xy, section.xy) > section.z) discard;
    if (vOpacity < 0.999 && vOpacity <= threshold()) discard;
    #ifdef EDGES
    if (pickPass != 0) discard;
    gl_FragColor = vec4(ownColor ? vColor : edgeColor, 1.0);
    #else
    if (pickPass != 0) { gl_FragColor = vPick; return; }
    // Inner faces, seen through a cut, are the section: flat and darker. A
    // mirrored placement turns its faces around, and so does a material that
    // shows back faces only.
    bool outside = gl_FrontFacing == ((vMirrored < 0.5) != flipped);
    vec3 color = outside ? vColor : vColor * 0.55 + 0.04;
    // The selected shape in black and white stripes, which show on any colour.
    if (vMarked > 0.5) color = mix(color, vec3(step(4.0, mod(gl_FragCoord.x + gl_FragCoord.y, 8.0))), 0.7);
    gl_FragColor = vec4(color, 1.0);
    #endif
  }`;

function material(variant, instanceBase = 0) {
  const defines = {};
  for (const name of variant) defines[name] = "";
  const made = new THREE.ShaderMaterial({
    uniforms: { ...shared, instanceBase: { value: instanceBase }, flipped: { value: false }, ownColor: { value: false } },
    defines, vertexShader, fragmentShader,
  });
  if (!variant.includes("EDGES")) {
    // Faces step back a little so that edges on them stay visible.
    Object.assign(made, { polygonOffset: true, polygonOffsetFactor: 1, polygonOffsetUnits: 1 });
  }
  return made;
}

// ---------------------------------------------------------------- scene

// Reads the message's tree into what the viewer and the panel use: the leaves
// (the polygons of one layer of one cell, with their placements), the layers,
// the groups of leaves that share their placements, and an entry per node for
// the panel's tree.
class SceneReader {
  constructor(arrays) {
    this.arrays = arrays;
    this.polygons = (data.instances || []).map(buffer => floats(buffer, arrays));
    this.rings = new Map();
    // The tree is Layers / layer / cells... / leaf, or Cells / cells... / leaf.
    this.byLayer = data.name === "Layers";
    this.scene = {
      leaves: [], layers: new Map(), groups: new Map(), nodes: new Map(),
      stats: { parts: 0, polygons: this.polygons.length, instances: 0 },
      tree: null,
    };
  }

  read() {
    const scene = this.scene;
    scene.tree = this.node(data, []);
    scene.groups = [...scene.groups.values()];
    return scene;
  }

  // The panel's entry of a node, holding its children's entries and every
  // leaf below it.
  node(node, path) {
    const entry = { node, children: [], checked: true, leaves: [] };
    const nodes = this.scene.nodes;
    if (!nodes.has(node.id)) nodes.set(node.id, []);
    nodes.get(node.id).push(entry);
    path = [...path, node];
    if (node.shape) this.leaf(node, entry, path);
    for (const child of node.parts || []) {
      const made = this.node(child, path);
      entry.children.push(made);
      entry.leaves.push(...made.leaves);
    }
    return entry;
  }

  // A shape node counts as a part; it is drawn (a leaf) when it has polygons
  // and placements.
  leaf(node, entry, path) {
    const { scene } = this, shape = node.shape;
    scene.stats.parts += 1;
    const hasPlacements = shape.matrices && shape.matrices.shape[0];
    const matrices = hasPlacements ? floats(shape.matrices, this.arrays) : new Float32Array([1, 0, 0, 0, 1, 0]);
    const refs = shape.refs || [];
    const count = matrices.length / 6;
    if (!refs.length || !count) return;
    const names = path.map(part => part.name);
    const z = node.loc ? node.loc[0][2] : 0;
    const layer = this.layer(this.byLayer ? names[1] : node.name, z, shape.height, node.color);
    const leaf = {
      index: scene.leaves.length, node, entry, layer, cells: names.slice(this.byLayer ? 2 : 1, -1),
      color: node.color || layer.color, z, height: shape.height, refs, rings: refs.map(ref => this.ring(ref)),
      matrices, count, shown: true,
    };
    scene.leaves.push(leaf);
    layer.leaves.push(leaf);
    entry.leaves.push(leaf);
    // Leaves that share their placement list (the same array of the page) share a group.
    const key = hasPlacements && typeof shape.matrices.buffer === "number" ? shape.matrices.buffer : `leaf${leaf.index}`;
    if (!scene.groups.has(key)) scene.groups.set(key, { matrices, count, leaves: [] });
    scene.groups.get(key).leaves.push(leaf);
    scene.stats.instances += count;
  }

  // The layer of this name: its first leaf gives its height and colour.
  layer(name, z, height, color) {
    const layers = this.scene.layers;
    if (!layers.has(name)) {
      layers.set(name, {
        name, z, height, color: color || config.default_color || "#e8b024",
        opacity: layerOpacity[name] ?? (config.transparent ? config.default_opacity ?? 0.5 : 1),
        visible: true, leaves: [],
      });
    }
    return layers.get(name);
  }

  // A polygon of the page, counter-clockwise; turned once however many leaves
  // use it.
  ring(ref) {
    if (!this.rings.has(ref)) this.rings.set(ref, counterClockwise(this.polygons[ref]));
    return this.rings.get(ref);
  }
}

// Sorts a group's placements into tiles (in place, in the page's array) and
// measures each tile. Returns the tiles: {offset, count, box, scale}.
function tileGroup(group, perTile) {
  const { matrices, count } = group;
  const columns = Math.max(1, Math.round(Math.sqrt(count / perTile)));
  let xmin = Infinity, ymin = Infinity, xmax = -Infinity, ymax = -Infinity;
  for (let k = 0; k < count; k++) {
    const x = matrices[6 * k + 2], y = matrices[6 * k + 5];
    if (x < xmin) xmin = x; if (x > xmax) xmax = x;
    if (y < ymin) ymin = y; if (y > ymax) ymax = y;
  }
  // Mirrored placements go to tiles of their own, drawn with the other face
  // culled (their triangles turn the other way).
  const mirrored = (k) => matrices[6 * k] * matrices[6 * k + 4] - matrices[6 * k + 1] * matrices[6 * k + 3] < 0;
  const cellOf = (k) => {
    const i = Math.min(columns - 1, Math.floor((matrices[6 * k + 2] - xmin) / (xmax - xmin || 1) * columns));
    const j = Math.min(columns - 1, Math.floor((matrices[6 * k + 5] - ymin) / (ymax - ymin || 1) * columns));
    return (mirrored(k) ? columns * columns : 0) + j * columns + i;
  };
  let starts = [0, count];
  {
    const cells = new Uint32Array(count), sizes = new Uint32Array(2 * columns * columns + 1);
    for (let k = 0; k < count; k++) { cells[k] = cellOf(k); sizes[cells[k] + 1] += 1; }
    for (let c = 1; c < sizes.length; c++) sizes[c] += sizes[c - 1];
    starts = Array.from(sizes);
    const next = sizes.slice(), sorted = new Float32Array(6 * count);
    for (let k = 0; k < count; k++) sorted.set(matrices.subarray(6 * k, 6 * k + 6), 6 * next[cells[k]]++);
    matrices.set(sorted);
  }
  const [lx0, ly0, lx1, ly1] = group.box;
  const tiles = [];
  for (let c = 0; c + 1 < starts.length; c++) {
    const offset = starts[c], n = starts[c + 1] - offset;
    if (!n) continue;
    const box = [Infinity, Infinity, -Infinity, -Infinity];
    let scale = 0;
    for (let k = offset; k < offset + n; k++) {
      const [a, b, tx, d, e, ty] = matrices.subarray(6 * k, 6 * k + 6);
      for (const [x, y] of [[lx0, ly0], [lx1, ly0], [lx0, ly1], [lx1, ly1]]) {
        const px = a * x + b * y + tx, py = d * x + e * y + ty;
        if (px < box[0]) box[0] = px; if (px > box[2]) box[2] = px;
        if (py < box[1]) box[1] = py; if (py > box[3]) box[3] = py;
      }
      scale = Math.max(scale, Math.hypot(a, d), Math.hypot(b, e));
    }
    tiles.push({ offset, count: n, box, scale, mirrored: mirrored(offset) });
  }
  return tiles;
}

function groupMeasures(group) {
  const box = [Infinity, Infinity, -Infinity, -Infinity];
  const sizes = [];
  group.z0 = Infinity; group.z1 = -Infinity;
  group.segments = 0;
  for (const leaf of group.leaves) {
    leaf.area = 0;
    leaf.box = [Infinity, Infinity, -Infinity, -Infinity];
    for (const ring of leaf.rings) {
      const [x0, y0, x1, y1] = ringBox(ring);
      leaf.box = [Math.min(leaf.box[0], x0), Math.min(leaf.box[1], y0), Math.max(leaf.box[2], x1), Math.max(leaf.box[3], y1)];
      sizes.push(across(ring, [x0, y0, x1, y1]));
      group.segments += ring.length / 2;
      leaf.area += Math.abs(signedArea(ring));
    }
    for (let i = 0; i < 4; i++) box[i] = (i < 2 ? Math.min : Math.max)(box[i], leaf.box[i]);
    group.z0 = Math.min(group.z0, leaf.z); group.z1 = Math.max(group.z1, leaf.z + leaf.height);
  }
  sizes.sort((a, b) => a - b);
  group.box = box;
  group.extent = Math.max(box[2] - box[0], box[3] - box[1]);
  group.feature = sizes[Math.floor(sizes.length / 2)] || group.extent;
}

// Everything drawn: per tile three objects (prisms, boxes, edges) sharing the
// tile's placements, and one mesh of the far boxes of all tiles.
function buildDrawing(scene) {
  const root = new THREE.Group();
  const tiles = [];
  const far = new Builder(), farTile = [], farCoverage = [];
  for (const group of scene.groups) {
    groupMeasures(group);
    const detail = new Builder(), boxes = new Builder();
    for (const leaf of group.leaves) {
      leaf.rings.forEach((ring, k) => detail.prism(ring, triangulate(ring), leaf.z, leaf.z + leaf.height, leaf.index, k));
      boxes.box(leaf.box, leaf.z, leaf.z + leaf.height, leaf.index, -1);
    }
    group.detail = detail.geometry();
    group.boxes = boxes.geometry();
    group.edges = null;  // made when first needed
    const triangles = group.detail.index.count / 3;
    const perTile = Math.max(Math.ceil(group.count / GROUP_TILES), Math.min(65536, Math.max(64, Math.floor(TILE_TRIANGLES / triangles))));
    group.tiles = tileGroup(group, perTile);
    for (const tile of group.tiles) {
      tile.group = group;
      tile.index = tiles.length;
      tiles.push(tile);
      // The tile's meshes are made when it is first drawn closer than far.
      tile.detail = tile.boxes = tile.edges = null;
      tile.sphere = new THREE.Sphere();
      tile.triangles = { detail: tile.count * triangles, boxes: tile.count * group.boxes.index.count / 3 };
      const area = Math.max((tile.box[2] - tile.box[0]) * (tile.box[3] - tile.box[1]), 1e-12);
      for (const leaf of group.leaves) {
        const before = far.leaf.length;
        far.box(tile.box, leaf.z, leaf.z + leaf.height, leaf.index, -1);
        const coverage = Math.min(1, tile.count * leaf.area * tile.scale * tile.scale / area);
        for (let v = before; v < far.leaf.length; v++) { farTile.push(tile.index); farCoverage.push(coverage); }
      }
    }
  }
  const farMesh = new THREE.Mesh(far.geometry({ tile: farTile, coverage: farCoverage }), material(["COARSE"]));
  farMesh.frustumCulled = false;
  root.add(farMesh);
  return { root, tiles, farMesh };
}

// The prisms and the boxes of a tile, made on first use.
function tileMeshes(tile, root) {
  if (tile.detail) return;
  const group = tile.group;
  tile.rows = new THREE.InstancedInterleavedBuffer(group.matrices.subarray(6 * tile.offset, 6 * (tile.offset + tile.count)), 6, 1);
  tile.detail = instanced(group.detail, tile.rows, material(["INSTANCED"], tile.offset), tile, THREE.Mesh);
  tile.boxes = instanced(group.boxes, tile.rows, material(["INSTANCED", "BOXES"], tile.offset), tile, THREE.Mesh);
  root.add(tile.detail, tile.boxes);
}

function instanced(geometry, rows, made, tile, Kind) {
  const placed = new THREE.InstancedBufferGeometry();
  if (geometry.index) placed.setIndex(geometry.index);
  for (const [name, attribute] of Object.entries(geometry.attributes)) placed.setAttribute(name, attribute);
  placed.setAttribute("rowX", new THREE.InterleavedBufferAttribute(rows, 3, 0));
  placed.setAttribute("rowY", new THREE.InterleavedBufferAttribute(rows, 3, 3));
  placed.maxInstancedCount = tile.count;
  placed.instanceCount = tile.count;
  placed.boundingSphere = new THREE.Sphere();
  placed.boundingBox = new THREE.Box3();
  const object = new Kind(placed, made);
  object.visible = false;
  return object;
}

// ---------------------------------------------------------------- the viewer

// The drawn scene, its camera and what it answers about a pixel of the
// canvas. It reads none of the panel's controls: the panel calls its setters.
class Viewer {
  constructor(element, scene) {
    this.element = element;
    this.scene = scene;
    this.settings = this.loadSettings();
    ({ renderer: this.renderer, software: this.software } = makeRenderer(element));
    this.leafTexture = this.makeLeafTexture();
    this.drawing = buildDrawing(scene);
    this.tileTexture = makeTileTexture(this.drawing.tiles.length);
    this.updateLeaves();
    this.setSides();
    this.makeWorld();
    this.useControls(this.settings.trackball ? "trackball" : "orbit");
    shared.zScale.value = this.settings.zScale || 1;
    // Edges are drawn unless the message or the remembered settings say no.
    this.edgesOn = config.render_edges !== false && this.settings.edges !== false;
    this.applyTheme();
    this.dirty = true;
    this.moving = false;
    if (!this.restoreView()) this.preset("iso");
    this.followSize();
  }

  // The three.js scene: the drawing, the camera, the ruler's marks, axes and
  // grids. Its bounds are taken before the heights are stretched.
  makeWorld() {
    this.world = new THREE.Scene();
    this.world.add(this.drawing.root);
    this.bounds = this.sceneBounds(() => true);
    this.camera = this.makeCamera();
    this.world.add(this.camera);
    this.marks = new THREE.Group();
    this.markPoints = [];
    this.world.add(this.marks);
    this.helpers = this.makeHelpers();
  }

  followSize() {
    new ResizeObserver(() => {
      this.renderer.setSize(this.element.clientWidth, this.element.clientHeight);
      this.fitProjection();
      this.redraw();
    }).observe(this.element);
  }

  redraw() { this.dirty = true; }

  // While the view moves, a software renderer draws at half the resolution.
  setMoving(on) {
    this.moving = on;
    if (this.software) this.renderer.setPixelRatio(window.devicePixelRatio / (on ? 2 : 1));
    this.redraw();
  }

  // ------------------------------------------------ leaves: colour, visibility

  makeLeafTexture() {
    const texels = 2 * Math.max(1, this.scene.leaves.length);
    const rows = Math.ceil(texels / LEAF_TEXTURE_WIDTH);
    const texture = new THREE.DataTexture(new Uint8Array(4 * LEAF_TEXTURE_WIDTH * rows), LEAF_TEXTURE_WIDTH, rows, THREE.RGBAFormat);
    shared.leafData.value = texture;
    return texture;
  }

  // Writes every leaf's colour, opacity and visibility (from the layers and
  // the tree's check boxes) into the texture.
  updateLeaves() {
    const pixels = this.leafTexture.image.data;
    const walk = (entry, on) => {
      on = on && entry.checked;
      for (const child of entry.children) walk(child, on);
      if (entry.node.shape) for (const leaf of entry.leaves) leaf.checked = on;
    };
    walk(this.scene.tree, true);
    const color = new THREE.Color();
    for (const leaf of this.scene.leaves) {
      leaf.shown = leaf.checked && leaf.layer.visible;
      color.set(leaf.color);
      pixels.set([255 * color.r, 255 * color.g, 255 * color.b, 255 * leaf.layer.opacity], 8 * leaf.index);
      pixels.set([leaf.shown ? 255 : 0, 0, 0, 255], 8 * leaf.index + 4);
    }
    this.leafTexture.needsUpdate = true;
    this.redraw();
  }

  // World box (heights stretched) of the leaves that pass `keep`.
  sceneBounds(keep) {
    const box = new THREE.Box3();
    for (const tile of this.drawing.tiles) {
      const leaves = tile.group.leaves.filter(keep);
      if (!leaves.length) continue;
      const z0 = Math.min(...leaves.map(leaf => leaf.z)), z1 = Math.max(...leaves.map(leaf => leaf.z + leaf.height));
      box.expandByPoint(new THREE.Vector3(tile.box[0], tile.box[1], z0 * shared.zScale.value));
      box.expandByPoint(new THREE.Vector3(tile.box[2], tile.box[3], z1 * shared.zScale.value));
    }
    if (box.isEmpty()) box.set(new THREE.Vector3(-1, -1, 0), new THREE.Vector3(1, 1, 1));
    return box;
  }

  // Tiles' bounding spheres follow the height stretch.
  updateTileBounds() {
    for (const tile of this.drawing.tiles) {
      const { z0, z1 } = tile.group;
      const box = new THREE.Box3(new THREE.Vector3(tile.box[0], tile.box[1], z0 * shared.zScale.value),
                                 new THREE.Vector3(tile.box[2], tile.box[3], z1 * shared.zScale.value));
      box.getBoundingSphere(tile.sphere);
      for (const object of [tile.detail, tile.boxes, tile.edges]) this.fitBounds(object, tile);
    }
  }

  fitBounds(object, tile) {
    if (!object) return;
    object.geometry.boundingSphere.copy(tile.sphere);
    object.geometry.boundingBox = null;
  }

  // ------------------------------------------------ camera

  makeCamera() {
    const size = this.size();
    const aspect = size.x / Math.max(size.y, 1);
    const camera = config.ortho === false
      ? new THREE.PerspectiveCamera(35, aspect, 0.01, 1e7)
      : new THREE.OrthographicCamera(-aspect, aspect, 1, -1, 0.01, 1e7);
    camera.up.set(0, 0, 1);
    return camera;
  }

  size() { return this.renderer.getSize(new THREE.Vector2()); }

  // Mouse controls of the camera, "orbit" or "trackball", looking where the
  // last ones looked.
  useControls(kind) {
    const target = this.controls ? this.controls.target.clone() : this.bounds.getCenter(new THREE.Vector3());
    if (this.controls) this.controls.dispose();
    const controls = makeControls(kind, this.camera, this.renderer.domElement);
    controls.target.copy(target);
    controls.addEventListener("change", () => this.redraw());
    controls.addEventListener("start", () => this.setMoving(true));
    controls.addEventListener("end", () => { this.setMoving(false); this.saveSettings(); });
    this.controls = controls;
    this.controlKind = kind;
    this.fitProjection();
  }

  fitProjection() {
    const { camera } = this;
    const size = this.size();
    const aspect = size.x / Math.max(size.y, 1);
    const half = 1.05 * (this.radius || 1);
    if (camera.isOrthographicCamera) {
      Object.assign(camera, { left: -half * aspect, right: half * aspect, top: half, bottom: -half });
    } else {
      camera.aspect = aspect;
    }
    camera.updateProjectionMatrix();
    if (this.controls && this.controls.handleResize) this.controls.handleResize();
  }

  // Looks at what is shown from a direction: "top", "front", "side", "iso", or
  // "fit" (the present direction).
  preset(name) {
    const { camera, controls } = this;
    const directions = {
      top: [0, -1e-4, 1], front: [0, -1, 0.0001], side: [1, 0, 0.0001], iso: [-0.6, -1, 1.1],
    };
    const direction = name in directions ? new THREE.Vector3(...directions[name]).normalize()
      : camera.position.clone().sub(controls.target).normalize();
    const box = this.sceneBounds(leaf => leaf.shown);
    const center = box.getCenter(new THREE.Vector3());
    const radius = Math.max(box.getBoundingSphere(new THREE.Sphere()).radius, 1e-3);
    this.radius = radius;
    camera.position.copy(center).addScaledVector(direction, 4 * radius);
    camera.up.set(0, 0, 1);
    if (this.controlKind === "trackball" && name === "top") camera.up.set(0, 1, 0);
    camera.zoom = 1;
    camera.near = radius / 100;
    camera.far = radius * 100;
    controls.target.copy(center);
    camera.lookAt(center);
    this.fitProjection();
    controls.update();
    this.redraw();
    this.saveSettings();
  }

  // World units per screen pixel at a point.
  unitsPerPixel(point) {
    const camera = this.camera, height = Math.max(this.size().y, 1);
    if (camera.isOrthographicCamera) return (camera.top - camera.bottom) / camera.zoom / height;
    const distance = point ? camera.position.distanceTo(point) : camera.position.distanceTo(this.controls.target);
    return 2 * distance * Math.tan(THREE.MathUtils ? THREE.MathUtils.degToRad(camera.fov / 2) : camera.fov * Math.PI / 360) / height;
  }

  // ------------------------------------------------ levels of detail

  chooseLevels() {
    this.assignLevels();
    this.showLevels();
  }

  // Chooses each tile's level from the size of one placement on the screen,
  // then, while the triangles in view pass the budget, sends the tiles that
  // are smallest on the screen to the far boxes.
  assignLevels() {
    const slack = this.moving ? 2 : 1;
    const budget = this.moving ? MOVING_TRIANGLES : STILL_TRIANGLES;
    const frustum = new THREE.Frustum().setFromMatrix(
      new THREE.Matrix4().multiplyMatrices(this.camera.projectionMatrix, this.camera.matrixWorldInverse));
    const center = new THREE.Vector3();
    const costly = [];
    let triangles = 0;
    for (const tile of this.drawing.tiles) {
      const group = tile.group;
      center.set((tile.box[0] + tile.box[2]) / 2, (tile.box[1] + tile.box[3]) / 2, group.z0 * shared.zScale.value);
      const pixel = this.unitsPerPixel(center);
      tile.pixels = group.extent * tile.scale / pixel;
      tile.level = tile.pixels < COARSE_PX * slack ? "coarse" : tile.pixels < BOX_PX * slack ? "boxes" : "detail";
      tile.featurePixels = group.feature * tile.scale / pixel;
      if (tile.level !== "coarse" && frustum.intersectsSphere(tile.sphere)) {
        triangles += tile.triangles[tile.level];
        costly.push(tile);
      }
    }
    if (triangles > budget) {
      costly.sort((p, q) => p.pixels - q.pixels);
      for (const tile of costly) {
        if (triangles <= budget) break;
        triangles -= tile.triangles[tile.level];
        tile.level = "coarse";
      }
    }
  }

  // Shows every tile at its level, making its meshes when it is first drawn
  // closer than far, and tells the far boxes which tiles they stand for.
  showLevels() {
    const state = this.tileTexture.image.data;
    let changed = false;
    for (const tile of this.drawing.tiles) {
      if (tile.level !== "coarse" && !tile.detail) {
        tileMeshes(tile, this.drawing.root);
        this.fitBounds(tile.detail, tile);
        this.fitBounds(tile.boxes, tile);
        this.setSides(tile);
      }
      if (tile.detail) {
        tile.detail.visible = tile.level === "detail";
        tile.boxes.visible = tile.level === "boxes";
      }
      const outlined = !this.moving && tile.group.segments * tile.count <= THIN_SEGMENTS;
      this.showTileEdges(tile, tile.level !== "detail" ? null : tile.featurePixels < THIN_PX ? (outlined ? "thin" : null)
        : this.edgesOn && tile.featurePixels >= EDGE_PX ? "dark" : null);
      const coarse = tile.level === "coarse" ? 255 : 0;
      if (state[4 * tile.index] !== coarse) { state[4 * tile.index] = coarse; changed = true; }
    }
    if (changed) this.tileTexture.needsUpdate = true;
  }

  // A tile's edges, made when first shown (a group makes its outlines once):
  // "dark" lines on shapes wide enough to show their faces, or lines in the
  // layers' own colours around "thin" ones, which keep a shape narrower than
  // a pixel on the screen in its colour; null for none.
  showTileEdges(tile, kind) {
    const shown = kind !== null;
    if (shown && !tile.edges) {
      const group = tile.group;
      group.edges = group.edges || edgeGeometry(group);
      tile.edges = instanced(group.edges, tile.rows, material(["INSTANCED", "EDGES"], tile.offset), tile, THREE.LineSegments);
      this.drawing.root.add(tile.edges);
      this.fitBounds(tile.edges, tile);
    }
    if (tile.edges) {
      tile.edges.visible = shown;
      tile.edges.material.uniforms.ownColor.value = kind === "thin";
    }
  }

  // Closed prisms show only their outer faces, unless a section opens them.
  // Of every tile, or of one.
  setSides(only) {
    const open = shared.section.value.w > 0.5;
    const side = (mirrored) => open ? THREE.DoubleSide : mirrored ? THREE.BackSide : THREE.FrontSide;
    const set = (object, mirrored) => {
      if (object && object.material.side !== side(mirrored)) {
        object.material.side = side(mirrored);
        object.material.uniforms.flipped.value = side(mirrored) === THREE.BackSide;
        object.material.needsUpdate = true;
      }
    };
    for (const tile of only ? [only] : this.drawing.tiles) {
      set(tile.detail, tile.mirrored);
      set(tile.boxes, tile.mirrored);
    }
    if (!only) set(this.drawing.farMesh, false);
    this.redraw();
  }

  render() {
    this.chooseLevels();
    this.renderer.info.reset();
    this.renderer.render(this.world, this.camera);
  }

  // ------------------------------------------------ picking

  // What is drawn at canvas pixel (x, y): {leaf, placement, kind} or null.
  pickAt(x, y) {
    // A click ends a press that may have set the view moving: the pick is of
    // the still frame, which the user saw.
    if (this.moving) this.setMoving(false);
    const size = this.size();
    const target = this.pickTarget || (this.pickTarget = new THREE.WebGLRenderTarget(1, 1));
    const { camera, renderer } = this;
    const background = this.world.background;
    const edges = this.drawing.tiles.filter(tile => tile.edges && tile.edges.visible);
    const marks = this.marks.visible, helpers = [this.helpers.axes.visible, this.helpers.grids.visible];
    this.world.background = null;
    this.marks.visible = false;
    this.helpers.axes.visible = this.helpers.grids.visible = false;
    for (const tile of edges) tile.edges.visible = false;
    renderer.setClearColor(0x000000, 0);
    camera.setViewOffset(size.x, size.y, Math.floor(x), Math.floor(y), 1, 1);
    const ratio = renderer.getPixelRatio();
    shared.pickPixel.value.set(Math.floor(x * ratio) + 0.5, Math.round(size.y * ratio) - Math.floor(y * ratio) - 0.5);
    this.chooseLevels();
    const read = (pass) => {
      shared.pickPass.value = pass;
      renderer.setRenderTarget(target);
      renderer.clear();
      renderer.render(this.world, camera);
      const pixel = new Uint8Array(4);
      renderer.readRenderTargetPixels(target, 0, 0, 1, 1, pixel);
      return pixel;
    };
    let first, second;
    try {
      first = read(1);
      second = first[3] ? read(2) : null;
    } finally {
      shared.pickPass.value = 0;
      renderer.setRenderTarget(null);
      camera.clearViewOffset();
      this.world.background = background;
      this.marks.visible = marks;
      [this.helpers.axes.visible, this.helpers.grids.visible] = helpers;
      for (const tile of edges) tile.edges.visible = true;
      this.redraw();
    }
    const number = (p) => p[0] + 256 * p[1] + 65536 * p[2];
    if (!first[3]) return null;
    const leaf = this.scene.leaves[number(first) - 1];
    const kind = Object.keys(KIND).find(name => KIND[name] === first[3]);
    return leaf ? { leaf, placement: number(second), kind } : null;
  }

  // The ray through canvas pixel (x, y), in world space.
  ray(x, y) {
    const size = this.size();
    const raycaster = new THREE.Raycaster();
    raycaster.setFromCamera(new THREE.Vector2(2 * (x + 0.5) / size.x - 1, 1 - 2 * (y + 0.5) / size.y), this.camera);
    return raycaster.ray;
  }

  // Where the ray first meets the placed prisms of a leaf: {ring, point} in
  // layout units (heights not stretched); ring -1 when it meets none.
  hitLeaf(leaf, placement, ray) {
    const m = leaf.matrices.subarray(6 * placement, 6 * placement + 6);
    const zs = shared.zScale.value;
    // The ray in the leaf's own coordinates: t stays the same parameter.
    const [ox, oy] = local(m, ray.origin.x, ray.origin.y);
    const [px, py] = local(m, ray.origin.x + ray.direction.x, ray.origin.y + ray.direction.y);
    const dx = px - ox, dy = py - oy, oz = ray.origin.z / zs, dz = ray.direction.z / zs;
    const z0 = leaf.z, z1 = leaf.z + leaf.height;
    const section = shared.section.value;
    const kept = (t) => {
      if (section.w < 0.5) return true;
      const x = ray.origin.x + t * ray.direction.x, y = ray.origin.y + t * ray.direction.y;
      return x * section.x + y * section.y <= section.z + 1e-9;
    };
    let best = { t: Infinity, ring: -1 };
    leaf.rings.forEach((ring, number) => {
      const n = ring.length / 2;
      const candidates = [];
      if (Math.abs(dz) > 1e-12) {
        for (const z of [z0, z1]) {
          const t = (z - oz) / dz;
          if (inside(ring, ox + t * dx, oy + t * dy)) candidates.push(t);
        }
      }
      for (let i = 0; i < n; i++) {
        const j = (i + 1) % n;
        const ex = ring[2 * j] - ring[2 * i], ey = ring[2 * j + 1] - ring[2 * i + 1];
        const denominator = dx * ey - dy * ex;
        if (Math.abs(denominator) < 1e-15) continue;
        const wx = ring[2 * i] - ox, wy = ring[2 * i + 1] - oy;
        const t = (wx * ey - wy * ex) / denominator, s = (wx * dy - wy * dx) / denominator;
        const z = oz + t * dz;
        if (s >= 0 && s <= 1 && z >= z0 - 1e-9 && z <= z1 + 1e-9) candidates.push(t);
      }
      for (const t of candidates) if (t < best.t && kept(t)) best = { t, ring: number };
    });
    if (best.ring < 0) {
      // Nothing hit exactly (a box seen from far): the top of the leaf.
      best.t = Math.abs(dz) > 1e-12 ? (z1 - oz) / dz : 0;
    }
    const point = ray.origin.clone().addScaledVector(ray.direction, best.t);
    point.z /= zs;
    return { ring: best.ring, point };
  }

  // Full answer for a click at canvas pixel (x, y), or null on empty space.
  identify(x, y) {
    const picked = this.pickAt(x, y);
    if (!picked) return null;
    const { leaf } = picked;
    let { kind, placement } = picked;
    const ray = this.ray(x, y);
    let hit = null;
    if (kind === "coarse") {
      // The tile stands in for its shapes: the one under the cursor, if any.
      const tile = this.drawing.tiles[placement];
      const t = Math.abs(ray.direction.z) > 1e-12 ? ((leaf.z + leaf.height) * shared.zScale.value - ray.origin.z) / ray.direction.z : 0;
      const point = ray.origin.clone().addScaledVector(ray.direction, t);
      point.z /= shared.zScale.value;
      hit = shapeAt(leaf, tile, point);
      if (!hit) {
        return { leaf, kind, placement: -1, ring: -1, point, tile,
                 box: [tile.box[0], tile.box[1], leaf.z, tile.box[2], tile.box[3], leaf.z + leaf.height] };
      }
      [kind, placement] = ["detail", hit.placement];
    }
    hit = hit || this.hitLeaf(leaf, placement, ray);
    const [a, b, tx, d, e, ty] = leaf.matrices.subarray(6 * placement, 6 * placement + 6);
    const points = hit.ring >= 0 ? leaf.rings[hit.ring] : leaf.rings.flatMap(ring => Array.from(ring));
    const box = [Infinity, Infinity, leaf.z, -Infinity, -Infinity, leaf.z + leaf.height];
    for (let i = 0; i < points.length; i += 2) {
      const px = a * points[i] + b * points[i + 1] + tx, py = d * points[i] + e * points[i + 1] + ty;
      box[0] = Math.min(box[0], px); box[1] = Math.min(box[1], py);
      box[3] = Math.max(box[3], px); box[4] = Math.max(box[4], py);
    }
    return { leaf, kind, placement, ring: hit.ring, point: hit.point, box };
  }

  // ------------------------------------------------ marks (ruler)

  // The canvas pixel of a layout point (heights as in the layout).
  canvasPixel(x, y, z) {
    const size = this.size();
    const p = new THREE.Vector3(x, y, z * shared.zScale.value).project(this.camera);
    return [(p.x + 1) / 2 * size.x, (1 - p.y) / 2 * size.y];
  }

  // The point the ruler takes for a click at canvas pixel (x, y) that found
  // `found`: the corner of the shape's outline nearest the cursor within
  // SNAP_PX on the screen, else the nearest point of its edges there, else
  // the point hit; on empty space, the point of the ground (z = 0).
  rulerPoint(found, x, y) {
    if (!found) {
      const ray = this.ray(x, y);
      return Math.abs(ray.direction.z) > 1e-12 ? ray.at(-ray.origin.z / ray.direction.z, new THREE.Vector3()) : null;
    }
    if (found.ring < 0) return found.point;
    const [a, b, tx, d, e, ty] = found.leaf.matrices.subarray(6 * found.placement, 6 * found.placement + 6);
    const ring = found.leaf.rings[found.ring], z = found.point.z, n = ring.length / 2;
    const corners = [];
    for (let i = 0; i < n; i++) {
      const px = ring[2 * i], py = ring[2 * i + 1];
      corners.push(new THREE.Vector3(a * px + b * py + tx, d * px + e * py + ty, z));
    }
    const cursor = new THREE.Vector2(x, y);
    const seen = corners.map(p => new THREE.Vector2(...this.canvasPixel(p.x, p.y, p.z)));
    let best = null, nearest = SNAP_PX;
    seen.forEach((s, i) => { if (s.distanceTo(cursor) < nearest) [best, nearest] = [corners[i], s.distanceTo(cursor)]; });
    if (best) return best;
    nearest = SNAP_PX;
    for (let i = 0; i < n; i++) {
      const j = (i + 1) % n, along = seen[j].clone().sub(seen[i]);
      const t = Math.min(1, Math.max(0, cursor.clone().sub(seen[i]).dot(along) / Math.max(along.lengthSq(), 1e-12)));
      const distance = seen[i].clone().addScaledVector(along, t).distanceTo(cursor);
      if (distance < nearest) [best, nearest] = [corners[i].clone().lerp(corners[j], t), distance];
    }
    return best || found.point;
  }

  // The ruler's points (layout units) as dots, joined by a line, drawn over
  // everything. They are kept to be placed anew when the heights stretch.
  setMarks(points) {
    for (const child of [...this.marks.children]) {
      this.marks.remove(child);
      child.geometry.dispose();
    }
    this.markPoints = [...points];
    if (points.length) this.addMarks(points);
    this.redraw();
  }

  addMarks(points) {
    const zs = shared.zScale.value;
    const positions = points.flatMap(p => [p.x, p.y, p.z * zs]);
    const geometry = new THREE.BufferGeometry();
    geometry.setAttribute("position", new THREE.Float32BufferAttribute(positions, 3));
    const style = { color: this.settings.dark ? 0xffe14d : 0xd0006f, depthTest: false };
    const dots = new THREE.Points(geometry, new THREE.PointsMaterial({ ...style, size: 7, sizeAttenuation: false }));
    dots.renderOrder = 10;
    this.marks.add(dots);
    if (points.length > 1) {
      const line = new THREE.Line(geometry, new THREE.LineBasicMaterial(style));
      line.renderOrder = 10;
      this.marks.add(line);
    }
  }

  // ------------------------------------------------ what the panel sets

  showEdges(on) {
    this.edgesOn = on;
    this.redraw();
  }

  showAxes(on) {
    this.helpers.axes.visible = on;
    this.redraw();
  }

  showGrids(on) {
    for (const grid of this.helpers.switched) grid.visible = on;
    this.redraw();
  }

  setDark(on) {
    this.settings.dark = on;
    this.applyTheme();
    this.saveSettings();
  }

  // Other mouse controls, starting from a fitted, upright view in the present
  // direction.
  switchControls(kind) {
    this.useControls(kind);
    this.preset("fit");
  }

  // Heights drawn `factor` times as high. The point looked at keeps its place
  // in the stretched layout, and so do the ruler's marks.
  stretchHeights(factor) {
    this.controls.target.z *= factor / shared.zScale.value;
    shared.zScale.value = factor;
    this.updateTileBounds();
    this.setMarks(this.markPoints);
    this.saveSettings();
  }

  // Cuts away what lies beyond a plane across x or y ("off": no cut), placed
  // at `permille` thousandths of the scene's extent along it. Returns where
  // the plane lies, or null.
  setSection(axis, permille) {
    const section = shared.section.value;
    let at = null;
    if (axis === "off") {
      section.set(0, 0, 0, 0);
    } else {
      const i = axis === "x" ? 0 : 1, bounds = this.sceneBounds(() => true);
      const low = bounds.min.getComponent(i), high = bounds.max.getComponent(i);
      at = low + (high - low) * permille / 1000;
      section.set(i === 0 ? 1 : 0, i === 1 ? 1 : 0, at, 1);
    }
    this.setSides();
    return at;
  }

  // Marks in pink what a click found (null: nothing).
  highlight(found) {
    const marked = found ? [found.leaf.index, found.placement, found.ring] : [-1, -1, -1];
    shared.highlight.value.set(...marked);
    this.redraw();
  }

  // ------------------------------------------------ helpers, theme, settings

  makeHelpers() {
    const bounds = this.bounds, radius = bounds.getBoundingSphere(new THREE.Sphere()).radius;
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
    this.world.add(axes, grids);
    // The grid box switches the grids the message asked for, or the x-y grid
    // when it asked for none.
    const asked = grids.children.filter(grid => grid.visible);
    return { axes, grids, switched: asked.length ? asked : grids.children.slice(0, 1) };
  }

  applyTheme() {
    document.body.classList.toggle("dark", !!this.settings.dark);
    this.world.background = new THREE.Color(this.settings.dark ? 0x1d2026 : 0xf2f3f5);
    this.redraw();
  }

  loadSettings() {
    try {
      return JSON.parse(localStorage.getItem(settingsKey) || "{}") || {};
    } catch (error) {
      return {};
    }
  }

  saveSettings() {
    const { camera, controls } = this;
    if (!controls) return;
    this.settings.view = {
      position: camera.position.toArray(), up: camera.up.toArray(), target: controls.target.toArray(),
      zoom: camera.zoom, radius: this.radius,
    };
    this.settings.zScale = shared.zScale.value;
    this.settings.trackball = this.controlKind === "trackball";
    try {
      localStorage.setItem(settingsKey, JSON.stringify(this.settings));
    } catch (error) {
      // Storage may be off (private windows): the view is just not remembered.
    }
  }

  restoreView() {
    const view = this.settings.view;
    if (!view) return false;
    this.radius = view.radius;
    this.camera.position.fromArray(view.position);
    this.camera.up.fromArray(view.up);
    this.camera.zoom = view.zoom;
    this.camera.near = view.radius / 100;
    this.camera.far = view.radius * 100;
    this.controls.target.fromArray(view.target);
    this.camera.lookAt(this.controls.target);
    this.fitProjection();
    this.controls.update();
    return true;
  }
}

// A WebGL 2 renderer filling `element`: the shaders read placement numbers
// and fetch texels by index.
function makeRenderer(element) {
  const canvas = document.createElement("canvas");
  // Multisampling costs a software renderer several times the frame time.
  const software = softwareRenderer();
  const antialias = !software;
  const context = canvas.getContext("webgl2", { antialias, alpha: false, powerPreference: "high-performance" });
  if (!context) throw new Error("this browser offers no WebGL 2");
  const renderer = new THREE.WebGLRenderer({ canvas, context, antialias });
  element.prepend(canvas);
  renderer.setPixelRatio(window.devicePixelRatio);
  renderer.setSize(element.clientWidth, element.clientHeight);
  renderer.info.autoReset = false;
  return { renderer, software };
}

// A texel per tile, set while the far boxes stand in for the tile.
function makeTileTexture(count) {
  const rows = Math.max(1, Math.ceil(count / 1024));
  const texture = new THREE.DataTexture(new Uint8Array(4 * 1024 * rows), 1024, rows, THREE.RGBAFormat);
  shared.tileState.value = texture;
  return texture;
}

// Mouse controls of the camera. The orbit keeps the layout's z up: the chip
// never rolls over; the trackball turns freely.
function makeControls(kind, camera, canvas) {
  if (kind === "trackball") {
    const controls = new TrackballControls(camera, canvas);
    controls.rotateSpeed = 2 * (config.rotate_speed ?? 1);
    controls.zoomSpeed = 1.2 * (config.zoom_speed ?? 1);
    controls.panSpeed = 0.6 * (config.pan_speed ?? 1);
    return controls;
  }
  camera.up.set(0, 0, 1);
  const controls = new OrbitControls(camera, canvas);
  controls.rotateSpeed = config.rotate_speed ?? 1;
  controls.zoomSpeed = config.zoom_speed ?? 1;
  controls.panSpeed = config.pan_speed ?? 1;
  controls.screenSpacePanning = true;
  return controls;
}

// Whether WebGL runs on the processor (no graphics card, or none allowed).
function softwareRenderer() {
  const gl = document.createElement("canvas").getContext("webgl2");
  if (!gl) return false;
  const info = gl.getExtension("WEBGL_debug_renderer_info");
  const name = info ? String(gl.getParameter(info.UNMASKED_RENDERER_WEBGL)) : "";
  const lose = gl.getExtension("WEBGL_lose_context");
  if (lose) lose.loseContext();
  return /swiftshader|llvmpipe|softpipe|software/i.test(name);
}

// The point (x, y) in the coordinates of the placement with matrix `m`
// (a, b, tx, d, e, ty).
function local(m, x, y) {
  const [a, b, tx, d, e, ty] = m;
  const det = a * e - b * d;
  return [(e * (x - tx) - b * (y - ty)) / det, (-d * (x - tx) + a * (y - ty)) / det];
}

// The placement of the tile and the ring of the leaf that hold the point,
// as found where the tile stands in for its shapes; null where none does.
function shapeAt(leaf, tile, point) {
  for (let p = tile.offset; p < tile.offset + tile.count; p++) {
    const [x, y] = local(leaf.matrices.subarray(6 * p, 6 * p + 6), point.x, point.y);
    const [x0, y0, x1, y1] = leaf.box;
    if (x < x0 || x > x1 || y < y0 || y > y1) continue;
    const ring = leaf.rings.findIndex(r => inside(r, x, y));
    if (ring >= 0) return { placement: p, ring, point };
  }
  return null;
}

function inside(ring, x, y) {
  let result = false;
  for (let i = 0, n = ring.length / 2, j = n - 1; i < n; j = i++) {
    const xi = ring[2 * i], yi = ring[2 * i + 1], xj = ring[2 * j], yj = ring[2 * j + 1];
    if ((yi > y) !== (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) result = !result;
  }
  return result;
}

// ---------------------------------------------------------------- export

// The shown leaves as plain three.js meshes, one node per placement sharing
// the leaf's mesh, grouped by layer; heights as stretched on the screen.
function exportScene(viewer) {
  const scene = new THREE.Scene();
  scene.name = document.title;
  const zs = shared.zScale.value;
  const materials = new Map();
  let placements = 0;
  for (const leaf of viewer.scene.leaves) if (leaf.shown) placements += leaf.count;
  if (placements > EXPORT_PLACEMENTS) {
    throw new Error(`${placements.toLocaleString("en")} placements shown: glTF export takes at most ` +
                    `${EXPORT_PLACEMENTS.toLocaleString("en")} (hide layers or cells first)`);
  }
  const layers = new Map();
  for (const leaf of viewer.scene.leaves) {
    if (!leaf.shown) continue;
    if (!layers.has(leaf.layer)) {
      const group = new THREE.Group();
      group.name = leaf.layer.name;
      layers.set(leaf.layer, group);
      scene.add(group);
      materials.set(leaf.layer, new THREE.MeshStandardMaterial({
        color: new THREE.Color(leaf.color), metalness: config.metalness ?? 0.3, roughness: config.roughness ?? 0.65,
        transparent: leaf.layer.opacity < 1, opacity: leaf.layer.opacity,
      }));
    }
    const builder = new Builder();
    leaf.rings.forEach((ring, k) => builder.prism(ring, triangulate(ring), leaf.z * zs, (leaf.z + leaf.height) * zs, 0, k));
    const geometry = new THREE.BufferGeometry();
    geometry.setAttribute("position", new THREE.Float32BufferAttribute(builder.position, 3));
    geometry.setAttribute("normal", new THREE.Float32BufferAttribute(builder.normal, 3));
    geometry.setIndex(builder.index);
    const name = [...leaf.cells, leaf.layer.name].join("/");
    for (let k = 0; k < leaf.count; k++) {
      const [a, b, tx, d, e, ty] = leaf.matrices.subarray(6 * k, 6 * k + 6);
      const mesh = new THREE.Mesh(geometry, materials.get(leaf.layer));
      mesh.name = name;
      mesh.matrixAutoUpdate = false;
      mesh.matrix.set(a, b, 0, tx, d, e, 0, ty, 0, 0, 1, 0, 0, 0, 0, 1);
      layers.get(leaf.layer).add(mesh);
    }
  }
  return scene;
}

function exportGLB(viewer) {
  const scene = exportScene(viewer);
  return new Promise((resolve, reject) => {
    try {
      new GLTFExporter().parse(scene, resolve, { binary: true, onlyVisible: false });
    } catch (error) {
      reject(error);
    }
  });
}

// The view as PNG with what it takes to read it: the shown layers' colours
// and names, and the scale bar, drawn as the page shows them.
function savePNG(viewer) {
  viewer.render();
  const view = viewer.renderer.domElement;
  const canvas = Object.assign(document.createElement("canvas"), { width: view.width, height: view.height });
  const context = canvas.getContext("2d");
  context.drawImage(view, 0, 0); // the view is still in the drawing buffer
  context.scale(view.width / view.clientWidth, view.height / view.clientHeight);
  context.font = getComputedStyle(document.body).font;
  const ink = getComputedStyle(document.getElementById("scalebar")).color;
  drawLegend(context, layersTopFirst(viewer).filter(layer => layer.visible), ink);
  drawScaleBar(context, ink);
  canvas.toBlob((blob) => download(blob, `${fileStem()}.png`), "image/png");
}

// The layers in stack order, top first.
function layersTopFirst(viewer) {
  return [...viewer.scene.layers.values()].sort((p, q) => (q.z - p.z) || (q.height - p.height) || p.name.localeCompare(q.name));
}

// Top left: a swatch and the name of each layer, top first.
function drawLegend(context, layers, ink) {
  const row = 16, width = 12 + Math.max(0, ...layers.map(layer => context.measureText(layer.name).width)) + 22;
  context.fillStyle = document.body.classList.contains("dark") ? "#000a" : "#fffa";
  context.fillRect(8, 8, width, 8 + row * layers.length);
  layers.forEach((layer, i) => {
    const y = 12 + row * i;
    context.fillStyle = layer.color;
    context.fillRect(14, y + 2, 10, 10);
    context.fillStyle = ink;
    context.textBaseline = "middle";
    context.fillText(layer.name, 30, y + 7);
  });
}

// Bottom right, where the page shows it: the bar with its end marks, and
// its length below.
function drawScaleBar(context, ink) {
  const bar = document.querySelector("#scalebar .bar").getBoundingClientRect();
  const label = document.querySelector("#scalebar .label").textContent;
  const view = document.getElementById("view").getBoundingClientRect();
  const left = bar.left - view.left, top = bar.top - view.top;
  context.fillStyle = ink;
  context.fillRect(left, top, 2, bar.height);
  context.fillRect(left + bar.width - 2, top, 2, bar.height);
  context.fillRect(left, top + bar.height - 2, bar.width, 2);
  context.textAlign = "center";
  context.textBaseline = "top";
  context.fillText(label, left + bar.width / 2, top + bar.height + 1);
}

// The shown leaves as a glTF binary file; `say` tells how it goes.
async function saveGLB(viewer, say) {
  try {
    say("writing glTF …");
    const glb = await exportGLB(viewer);
    download(new Blob([glb], { type: "model/gltf-binary" }), `${fileStem()}.glb`);
    say("glTF written");
  } catch (error) {
    say(`glTF export: ${error.message}`);
  }
}

function download(blob, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

function fileStem() {
  const stem = (document.getElementById("title").textContent || "show3d").replace(/[^A-Za-z0-9.+-]+/g, "_");
  return stem.replace(/^_+|_+$/g, "") || "show3d";
}

// ---------------------------------------------------------------- panel

const number = (n) => n.toLocaleString("en");
const micrometres = (v) => `${Number(v.toFixed(4))} µm`;

// A new element with the given properties (className, type, title, ...), the
// last child of `parent`.
function element(parent, tag, properties = {}) {
  return parent.appendChild(Object.assign(document.createElement(tag), properties));
}

// The square of a colour beside a tree node or a layer.
function swatch(row, color) {
  element(row, "span", { className: "swatch" }).style.background = color;
}

// The nodes whose name holds `text` (any case), depth first, at most `most`.
function nodesNamed(root, text, most) {
  const found = [], wanted = text.toLowerCase(), stack = [root];
  while (stack.length && found.length < most) {
    const entry = stack.pop();
    if (entry !== root && entry.node.name.toLowerCase().includes(wanted)) found.push(entry);
    for (let i = entry.children.length - 1; i >= 0; i--) stack.push(entry.children[i]);
  }
  return found;
}

// The search above the tree: while it holds text, the tree gives way to the
// nodes whose name holds it, each under its whole path.
function listenForSearch(viewer) {
  const search = document.getElementById("tree-search"), tree = document.getElementById("tree");
  const results = document.getElementById("tree-results");
  search.addEventListener("input", () => {
    const text = search.value.trim();
    tree.hidden = text !== "";
    results.replaceChildren();
    if (!text) return;
    const found = nodesNamed(viewer.scene.tree, text, SEARCH_RESULTS + 1);
    for (const entry of found.slice(0, SEARCH_RESULTS)) results.appendChild(treeRow(entry, viewer, 1, entry.node.id));
    const said = found.length > SEARCH_RESULTS ? `more than ${SEARCH_RESULTS} found, the first ${SEARCH_RESULTS} shown`
      : found.length ? `${found.length} found` : "none found";
    element(results, "div", { className: "found", textContent: said });
  });
}

function treeRow(entry, viewer, depth, label = entry.node.name) {
  const { node } = entry;
  const colours = new Set(entry.leaves.map(leaf => leaf.color));
  const item = document.createElement("div");
  const row = element(item, "div", { className: "row", title: node.id });
  const twisty = element(row, "span", { className: "twisty" });
  const box = element(row, "input", { type: "checkbox", checked: entry.checked });
  box.dataset.id = node.id;
  box.addEventListener("change", () => {
    // Every node of this id: one cell placed under several parents.
    for (const same of viewer.scene.nodes.get(node.id)) same.checked = box.checked;
    viewer.updateLeaves();
  });
  if (colours.size === 1) swatch(row, [...colours][0]);
  element(row, "span", { textContent: label });
  if (entry.children.length) {
    // Children rows are made on first opening: big layouts have many nodes.
    let list = null;
    const open = (show) => {
      if (show && !list) {
        list = element(item, "div", { className: "children" });
        for (const child of entry.children) list.appendChild(treeRow(child, viewer, depth + 1));
      }
      if (list) list.hidden = !show;
      twisty.textContent = show ? "▾" : "▸";
    };
    twisty.addEventListener("click", () => open(list === null || list.hidden));
    open(depth < 1);
  }
  return item;
}

// The layers in stack order, top first: visibility, "only", opacity.
function legend(viewer) {
  const list = document.getElementById("layers");
  const layers = layersTopFirst(viewer);
  const boxes = new Map();
  for (const layer of layers) {
    const row = element(list, "div", { className: "layer" });
    row.dataset.layer = layer.name;
    const box = element(row, "input", { type: "checkbox", checked: layer.visible, title: "show this layer" });
    box.addEventListener("change", () => { layer.visible = box.checked; viewer.updateLeaves(); });
    boxes.set(layer, box);
    swatch(row, layer.color);
    element(row, "span", {
      className: "name", textContent: layer.name,
      title: `${layer.name}: z ${micrometres(layer.z)} to ${micrometres(layer.z + layer.height)}`,
    });
    const only = element(row, "button", {
      type: "button", className: "only", textContent: "only", title: "show only this layer",
    });
    only.addEventListener("click", () => {
      for (const [other, otherBox] of boxes) otherBox.checked = other.visible = other === layer;
      viewer.updateLeaves();
    });
    const opacity = element(row, "input", {
      type: "range", min: 0, max: 100, value: Math.round(100 * layer.opacity), title: "opacity",
    });
    opacity.addEventListener("input", () => { layer.opacity = opacity.value / 100; viewer.updateLeaves(); });
  }
  const all = (on) => () => {
    for (const [layer, box] of boxes) box.checked = layer.visible = on;
    viewer.updateLeaves();
  };
  document.getElementById("all-layers").addEventListener("click", all(true));
  document.getElementById("no-layers").addEventListener("click", all(false));
}

function showCounts(stats) {
  document.getElementById("counts").textContent =
    `${number(stats.parts)} parts · ${number(stats.polygons)} polygons · ${number(stats.instances)} placements`;
}

function describe(found) {
  if (!found) return "";
  const { leaf, box } = found;
  const lines = [
    ["layer", leaf.layer.name],
    ["cell", leaf.cells.join(" / ") || "(top)"],
    ["placement", found.kind === "coarse" ? `tile of ${number(found.tile.count)} (zoom in for one)` : `${number(found.placement + 1)} of ${number(leaf.count)}`],
    ["x", `${micrometres(box[0])} … ${micrometres(box[3])}`],
    ["y", `${micrometres(box[1])} … ${micrometres(box[4])}`],
    ["z", `${micrometres(box[2])} … ${micrometres(box[5])}`],
    ["size", `${micrometres(box[3] - box[0])} × ${micrometres(box[4] - box[1])}`],
  ];
  return lines;
}

function showInfo(lines) {
  const info = document.getElementById("info");
  info.replaceChildren();
  info.hidden = !lines || !lines.length;
  for (const [label, value] of lines || []) {
    const row = element(info, "div");
    element(row, "b", { textContent: label });
    element(row, "span", { textContent: value });
    row.dataset.field = label;
  }
}

// A bar of a round length, about 120 pixels long.
function updateScaleBar(viewer) {
  const perPixel = viewer.unitsPerPixel(viewer.controls.target);
  const target = 120 * perPixel;
  const power = Math.pow(10, Math.floor(Math.log10(target)));
  const length = [5, 2, 1].map(f => f * power).find(v => v <= target) || power;
  const bar = document.getElementById("scalebar");
  bar.querySelector(".bar").style.width = `${length / perPixel}px`;
  bar.querySelector(".label").textContent = length >= 1000 ? `${Number((length / 1000).toPrecision(3))} mm` : micrometres(length);
}

// The panel keeps its state in one object, a field per control. This table
// binds each field to its control on the page and says what a new value does
// to the view. A control starts from its field, and every change, by the
// control or by a key, goes through Panel.set, so the two always agree.
const CONTROLS = {
  edges: { id: "edges", apply: ({ viewer }, on) => viewer.showEdges(on) },
  axes: { id: "axes", apply: ({ viewer }, on) => viewer.showAxes(on) },
  grid: { id: "grid", apply: ({ viewer }, on) => viewer.showGrids(on) },
  trackball: { id: "trackball", apply: ({ viewer }, on) => viewer.switchControls(on ? "trackball" : "orbit") },
  dark: { id: "dark", apply: ({ viewer }, on) => viewer.setDark(on) },
  // The slider moves in tenths of a doubling; the factor keeps 3 digits.
  height: { id: "height", apply: (panel, step) => panel.setHeight(Number(Math.pow(2, step / 10).toPrecision(3))) },
  sectionAxis: { id: "section-axis", apply: (panel) => panel.setSection() },
  sectionAt: { id: "section-at", apply: (panel) => panel.setSection() },
  ruler: { id: "ruler", apply: (panel, on) => panel.setRuler(on) },
};

// What the panel opens with: what the viewer shows (it has read the remembered
// settings), no cut and no ruler.
function initialState(viewer) {
  return {
    edges: viewer.edgesOn,
    axes: viewer.helpers.axes.visible,
    grid: viewer.helpers.grids.children.some(grid => grid.visible),
    trackball: viewer.controlKind === "trackball",
    dark: !!viewer.settings.dark,
    height: Math.round(10 * Math.log2(shared.zScale.value)),
    sectionAxis: "off",
    sectionAt: 500,
    ruler: false,
  };
}

// Buttons that act once.
const BUTTONS = {
  reset: (panel) => { panel.viewer.preset("iso"); panel.set("height", 0); },
  "view-top": ({ viewer }) => viewer.preset("top"),
  "view-front": ({ viewer }) => viewer.preset("front"),
  "view-side": ({ viewer }) => viewer.preset("side"),
  "view-iso": ({ viewer }) => viewer.preset("iso"),
  "view-fit": ({ viewer }) => viewer.preset("fit"),
  png: ({ viewer }) => savePNG(viewer),
  glb: (panel) => saveGLB(panel.viewer, (text) => panel.say(text)),
};

// The keyboard shortcuts, as the page's table of keys lists them.
const KEYS = {
  "1": ({ viewer }) => viewer.preset("top"),
  "2": ({ viewer }) => viewer.preset("front"),
  "3": ({ viewer }) => viewer.preset("side"),
  "4": ({ viewer }) => viewer.preset("iso"),
  f: ({ viewer }) => viewer.preset("fit"),
  m: (panel) => panel.toggle("ruler"),
  e: (panel) => panel.toggle("edges"),
  d: (panel) => panel.toggle("dark"),
  x: (panel) => panel.set("sectionAxis", panel.state.sectionAxis === "x" ? "off" : "x"),
  y: (panel) => panel.set("sectionAxis", panel.state.sectionAxis === "y" ? "off" : "y"),
  Escape: (panel) => panel.escape(),
  "?": () => { const help = document.getElementById("keys"); help.open = !help.open; },
};

// How a control of each kind shows a field's value, reads a new one, and
// which event says that the user changed it.
const BINDINGS = {
  checkbox: { show: (element, on) => { element.checked = on; }, read: (element) => element.checked, event: "change" },
  range: { show: (element, value) => { element.value = value; }, read: (element) => Number(element.value), event: "input" },
  select: { show: (element, value) => { element.value = value; }, read: (element) => element.value, event: "change" },
  // A button that stays pressed while its field is on.
  button: { show: (element, on) => element.classList.toggle("on", on), read: (element, on) => !on, event: "click" },
};

function bindingOf(element) {
  if (element.tagName === "SELECT") return BINDINGS.select;
  return element.tagName === "BUTTON" ? BINDINGS.button : BINDINGS[element.type];
}

// The panel beside the view: its controls bound to the state, its buttons and
// keys, clicks on the canvas, the legend of layers and the tree.
class Panel {
  constructor(viewer) {
    this.viewer = viewer;
    this.state = initialState(viewer);
    this.rulerPoints = [];  // the points measured so far
    this.elements = {};  // the control of each field
    for (const [field, { id }] of Object.entries(CONTROLS)) this.bind(field, document.getElementById(id));
    for (const [id, action] of Object.entries(BUTTONS)) {
      document.getElementById(id).addEventListener("click", () => action(this));
    }
    listenForClicks(viewer.renderer.domElement, (x, y) => this.click(x, y));
    listenForKeys(KEYS, this);
    document.getElementById("height-value").textContent = `× ${shared.zScale.value}`;
    document.getElementById("tree").appendChild(treeRow(viewer.scene.tree, viewer, 0));
    listenForSearch(viewer);
    legend(viewer);
    showCounts(viewer.scene.stats);
    this.say("drag: rotate · right drag: pan · wheel: zoom · click: identify");
  }

  bind(field, element) {
    const binding = bindingOf(element);
    this.elements[field] = element;
    binding.show(element, this.state[field]);
    element.addEventListener(binding.event, () => this.set(field, binding.read(element, this.state[field])));
  }

  // A new value of a field: shown on its control and applied to the view.
  set(field, value) {
    this.state[field] = value;
    bindingOf(this.elements[field]).show(this.elements[field], value);
    CONTROLS[field].apply(this, value);
  }

  toggle(field) {
    this.set(field, !this.state[field]);
  }

  say(text) {
    document.getElementById("status").textContent = text;
  }

  // Heights `factor` times as high. Also for the console, where the factor
  // need not be one of the slider's.
  setHeight(factor) {
    this.viewer.stretchHeights(factor);
    document.getElementById("height-value").textContent = `× ${factor}`;
  }

  // The cut the section's axis and slider ask for; the label says where.
  setSection() {
    const { sectionAxis, sectionAt } = this.state;
    const at = this.viewer.setSection(sectionAxis, sectionAt);
    document.getElementById("section-value").textContent = at === null ? "" : `${sectionAxis} ≤ ${micrometres(at)}`;
  }

  // While the ruler is on, clicks measure. Turned on or off, it starts over.
  setRuler(on) {
    this.rulerPoints = [];
    this.viewer.setMarks([]);
    this.say(on ? "ruler: click two points" : "");
    document.getElementById("measure").textContent = "";
  }

  // A click on the canvas, at (x, y) in its pixels.
  click(x, y) {
    const found = this.viewer.identify(x, y);
    if (this.state.ruler) this.measure(this.viewer.rulerPoint(found, x, y));
    else this.select(found);
  }

  // A point of the ruler; a third click starts a new measure.
  measure(point) {
    if (!point) return;
    if (this.rulerPoints.length === 2) this.rulerPoints = [];
    this.rulerPoints.push(point);
    this.viewer.setMarks(this.rulerPoints);
    const [p, q] = this.rulerPoints;
    const text = q ? `distance ${micrometres(p.distanceTo(q))} (dx ${micrometres(q.x - p.x)}, dy ${micrometres(q.y - p.y)}, dz ${micrometres(q.z - p.z)})`
      : `from (${micrometres(p.x)}, ${micrometres(p.y)}): click the second point`;
    document.getElementById("measure").textContent = text;
    this.say(text);
  }

  // What a click found (null: empty space, which clears) is marked and described.
  select(found) {
    this.viewer.highlight(found);
    showInfo(describe(found));
  }

  escape() {
    this.select(null);
    if (this.state.ruler) this.set("ruler", false);
  }
}

// A click on the canvas is a press and release of the left button that moved
// at most 4 pixels: more is a drag, which turns the view.
function listenForClicks(canvas, onClick) {
  let down = null;
  canvas.addEventListener("pointerdown", (event) => { down = [event.clientX, event.clientY, event.button]; });
  canvas.addEventListener("pointerup", (event) => {
    if (!down || down[2] !== 0 || Math.hypot(event.clientX - down[0], event.clientY - down[1]) > 4) return;
    const rect = canvas.getBoundingClientRect();
    onClick(event.clientX - rect.left, event.clientY - rect.top);
  });
}

// The keys a focused control uses itself, by its type; a field typed in
// uses them all.
const OWN_KEYS = { range: /^(Arrow|Page|Home$|End$)/, checkbox: /^ $/ };

// Keys act anywhere but on a control that uses them itself: a field being
// typed in, where only Escape does, a slider's arrows, a checkbox's space.
// With Ctrl, Alt or Meta they are the browser's.
function listenForKeys(keys, panel) {
  window.addEventListener("keydown", (event) => {
    const control = event.target.closest && event.target.closest("input, select, textarea");
    const own = control && (OWN_KEYS[control.type] || /./);
    if (own && own.test(event.key) && event.key !== "Escape") return;
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    const action = keys[event.key] || keys[event.key.toLowerCase()];
    if (action) { action(panel); event.preventDefault(); }
  });
}

// ---------------------------------------------------------------- frames

// Draws only after something changed, so an idle page costs nothing.
function runFrames(viewer, afterFirst) {
  let first = true;
  const frame = () => {
    requestAnimationFrame(frame);
    viewer.controls.update();
    if (viewer.dirty) {
      viewer.dirty = false;
      viewer.render();
      updateScaleBar(viewer);
      if (first) {
        first = false;
        afterFirst();
      }
    }
  };
  frame();
}

// Reading a pixel waits until the frame is drawn through.
function finish(viewer) {
  const gl = viewer.renderer.getContext();
  gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
}

// Turns the view about the vertical through the target `frames` times by
// `step` degrees, as a drag does, and times each frame to its last pixel.
function timeTurns(viewer, frames, step) {
  const { camera, controls } = viewer;
  const result = { times: [], calls: [], triangles: [] };
  viewer.setMoving(true);
  for (let i = 0; i < frames; i++) {
    camera.position.sub(controls.target).applyAxisAngle(new THREE.Vector3(0, 0, 1), step * Math.PI / 180).add(controls.target);
    camera.lookAt(controls.target);
    const before = performance.now();
    viewer.render();
    finish(viewer);
    result.times.push(performance.now() - before);
    result.calls.push(viewer.renderer.info.render.calls);
    result.triangles.push(viewer.renderer.info.render.triangles);
  }
  viewer.setMoving(false);
  return result;
}

// What a test, the benchmark (or a curious reader at the console) may look at.
function pageHooks(viewer, panel, times, arrayBytes) {
  const scene = viewer.scene;
  return {
    viewer, camera: viewer.camera, renderer: viewer.renderer,
    get controls() { return viewer.controls; },
    stats: scene.stats, times, arrayBytes, redraw: () => viewer.redraw(),
    exportGLB: () => exportGLB(viewer),
    setSection: () => panel.setSection(),
    setHeight: (factor) => panel.setHeight(factor),
    // Whether the node with this id (every node of that id) is drawn at all.
    shown: (id) => (scene.nodes.get(id) || []).every(entry => entry.leaves.length
      ? entry.leaves.some(leaf => leaf.shown) : entry.checked),
    pixel: (x, y, z) => viewer.canvasPixel(x, y, z),
    drawCalls: () => viewer.renderer.info.render.calls,
    triangles: () => viewer.renderer.info.render.triangles,
    rotate: (frames = 10, step = 3) => timeTurns(viewer, frames, step),
  };
}

// Loads the scene, then the viewer draws it and the panel drives it.
async function start() {
  const began = performance.now();
  const arrays = await loadArrays();
  const times = { decode: performance.now() - began };
  const scene = new SceneReader(arrays).read();
  const viewer = new Viewer(document.getElementById("view"), scene);
  times.build = performance.now() - began - times.decode;
  const panel = new Panel(viewer);
  viewer.updateTileBounds();
  window.show3d = pageHooks(viewer, panel, times, arrays.byteLength);
  runFrames(viewer, () => {
    finish(viewer);
    times.firstFrame = performance.now();
    times.draw = performance.now() - began - times.decode - times.build;
    window.show3dStats = scene.stats;
    window.show3dReady = true;
  });
}

start().catch((error) => {
  window.show3dError = String(error && error.stack || error);
  const notice = document.getElementById("notice");
  notice.textContent = `The scene could not be drawn: ${error.message || error}`;
  notice.hidden = false;
  console.error(error);
});
