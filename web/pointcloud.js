// Point cloud on a WebGL canvas: coloured points, orbit by dragging, zoom with the wheel.
// Points arrive in the camera's frame (x right, y down, z forward, metres); the view looks at
// them from the camera at first and turns around a target in front of it.
'use strict';

class PointCloudView {
  constructor(canvas) {
    this.canvas = canvas;
    // Without a preserved drawing buffer (a copy per frame): whoever reads the canvas draws it
    // first, in the same task.
    const gl = canvas.getContext('webgl', { antialias: false });
    this.gl = gl;
    this.count = 0;
    this.drawn = 0;
    this.target = [0, 0, 2];
    this.reset();
    if (!gl) return;
    const vs = `attribute vec3 pos; attribute vec4 col; uniform mat4 mvp; uniform float size;
      varying vec4 v; void main() { gl_Position = mvp * vec4(pos, 1.0); gl_PointSize = size; v = col; }`;
    const fs = `precision mediump float; varying vec4 v; void main() { gl_FragColor = v; }`;
    const prog = gl.createProgram();
    for (const [type, src] of [[gl.VERTEX_SHADER, vs], [gl.FRAGMENT_SHADER, fs]]) {
      const s = gl.createShader(type);
      gl.shaderSource(s, src);
      gl.compileShader(s);
      if (!gl.getShaderParameter(s, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(s));
      gl.attachShader(prog, s);
    }
    gl.linkProgram(prog);
    gl.useProgram(prog);
    this.prog = prog;
    this.posLoc = gl.getAttribLocation(prog, 'pos');
    this.colLoc = gl.getAttribLocation(prog, 'col');
    this.mvpLoc = gl.getUniformLocation(prog, 'mvp');
    this.sizeLoc = gl.getUniformLocation(prog, 'size');
    this.posBuf = gl.createBuffer();
    this.colBuf = gl.createBuffer();
    gl.enable(gl.DEPTH_TEST);
    this.listen();
  }

  get available() { return !!this.gl; }

  reset() {
    this.yaw = 0;
    this.pitch = 0;
    this.zoom = 1;
    this.placed = false;
  }

  listen() {
    const c = this.canvas;
    let drag = null;
    c.addEventListener('mousedown', e => { drag = { x: e.clientX, y: e.clientY }; });
    window.addEventListener('mouseup', () => { drag = null; });
    window.addEventListener('mousemove', e => {
      if (!drag) return;
      this.yaw += (e.clientX - drag.x) * 0.01;
      this.pitch = Math.max(-1.5, Math.min(1.5, this.pitch + (e.clientY - drag.y) * 0.01));
      drag = { x: e.clientX, y: e.clientY };
      this.draw();
    });
    c.addEventListener('wheel', e => {
      e.preventDefault();
      this.zoom = Math.max(0.05, Math.min(20, this.zoom * Math.exp(e.deltaY * 0.001)));
      this.draw();
    }, { passive: false });
    c.addEventListener('dblclick', () => { this.reset(); this.draw(); });
  }

  // positions: Float32Array x, y, z per point; colors: Uint8Array r, g, b, a per point.
  update(positions, colors, count, medianDepth) {
    if (!this.gl) return;
    const gl = this.gl;
    this.count = count;
    if (!this.placed && count > 0) {
      // Orbit around the middle of the scene along the optical axis.
      this.target = [0, 0, medianDepth];
      this.placed = true;
    }
    gl.bindBuffer(gl.ARRAY_BUFFER, this.posBuf);
    gl.bufferData(gl.ARRAY_BUFFER, positions.subarray(0, 3 * count), gl.DYNAMIC_DRAW);
    gl.bindBuffer(gl.ARRAY_BUFFER, this.colBuf);
    gl.bufferData(gl.ARRAY_BUFFER, colors.subarray(0, 4 * count), gl.DYNAMIC_DRAW);
    this.draw();
  }

  matrix() {
    const w = this.canvas.width, h = this.canvas.height;
    const f = 1 / Math.tan((50 * Math.PI / 180) / 2), near = 0.02, far = 200;
    const proj = [f * h / w, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) / (near - far), -1,
      0, 0, 2 * far * near / (near - far), 0];
    const r = this.target[2] * this.zoom;
    const cy = Math.cos(this.yaw), sy = Math.sin(this.yaw);
    const cp = Math.cos(this.pitch), sp = Math.sin(this.pitch);
    // Camera frame to view: flip y and z (GL looks down -z with y up), rotate about the
    // target, then step back by the orbit radius.
    const t = this.target;
    const m = (x, y, z) => {
      const px = x - t[0], py = -(y - t[1]), pz = -(z - t[2]);
      const x1 = cy * px + sy * pz, z1 = -sy * px + cy * pz;
      const y2 = cp * py - sp * z1, z2 = sp * py + cp * z1;
      return [x1, y2, z2 - r];
    };
    const o = m(0, 0, 0), ex = m(1, 0, 0), ey = m(0, 1, 0), ez = m(0, 0, 1);
    const view = [ex[0] - o[0], ex[1] - o[1], ex[2] - o[2], 0, ey[0] - o[0], ey[1] - o[1], ey[2] - o[2], 0,
      ez[0] - o[0], ez[1] - o[1], ez[2] - o[2], 0, o[0], o[1], o[2], 1];
    const out = new Float32Array(16);
    for (let c = 0; c < 4; ++c)
      for (let row = 0; row < 4; ++row) {
        let s = 0;
        for (let k = 0; k < 4; ++k) s += proj[k * 4 + row] * view[c * 4 + k];
        out[c * 4 + row] = s;
      }
    return out;
  }

  draw() {
    const gl = this.gl;
    if (!gl) return;
    gl.viewport(0, 0, this.canvas.width, this.canvas.height);
    gl.clearColor(0, 0, 0, 1);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    if (this.count === 0) return;
    gl.useProgram(this.prog);
    gl.uniformMatrix4fv(this.mvpLoc, false, this.matrix());
    gl.uniform1f(this.sizeLoc, Math.max(1, 2 / this.zoom));
    gl.bindBuffer(gl.ARRAY_BUFFER, this.posBuf);
    gl.enableVertexAttribArray(this.posLoc);
    gl.vertexAttribPointer(this.posLoc, 3, gl.FLOAT, false, 0, 0);
    gl.bindBuffer(gl.ARRAY_BUFFER, this.colBuf);
    gl.enableVertexAttribArray(this.colLoc);
    gl.vertexAttribPointer(this.colLoc, 4, gl.UNSIGNED_BYTE, true, 0, 0);
    gl.drawArrays(gl.POINTS, 0, this.count);
    this.drawn += 1;
  }

  // Pixels of the canvas that are not background: the test's proof that points were drawn.
  litPixels() {
    const gl = this.gl;
    if (!gl) return 0;
    this.draw();
    const w = this.canvas.width, h = this.canvas.height;
    const px = new Uint8Array(4 * w * h);
    gl.readPixels(0, 0, w, h, gl.RGBA, gl.UNSIGNED_BYTE, px);
    let lit = 0;
    for (let i = 0; i < px.length; i += 4) if (px[i] | px[i + 1] | px[i + 2]) ++lit;
    return lit;
  }
}
